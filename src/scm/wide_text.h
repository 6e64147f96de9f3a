// WideText: an owned, NUL-terminated UTF-16 string for one platform call,
// built under the label of the field it came from so that a refusal can say
// which field was bad.
#pragma once

#include "scm/scm_error.h"

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace vek {

class WideText {
public:
    // Encodes UTF-8 as UTF-16 and takes it as below; a refusal is
    // ArgumentHasNulByte with `label`.
    [[nodiscard]] static std::expected<WideText, ScmError> from_utf8(std::string_view text,
                                                                     std::string_view label);
    // Takes UTF-16 units as they are (a path, unpaired surrogates included); a
    // refusal is ArgumentHasNulByte with `label`.
    [[nodiscard]] static std::expected<WideText, ScmError> from_units(std::u16string units,
                                                                      std::string_view label);
    // As from_units, for one element of a list: a refusal is
    // ArgumentArrayElementHasNulByte with `label` and `index`.
    [[nodiscard]] static std::expected<WideText, ScmError> element_from_units(
        std::u16string units, std::string_view label, std::size_t index);

    // The NUL rule: a NUL that is the very last unit is taken as the
    // terminator (the text loses that one character); any other NUL refuses
    // the text (nullopt).
    [[nodiscard]] static std::optional<WideText> accept(std::u16string units);

    // Takes units already known to hold no NUL: the pieces of a service's
    // command line, each of which passed accept() under its own label.
    [[nodiscard]] static WideText from_checked_units(std::u16string units) {
        return WideText(std::move(units));
    }

    // NUL-terminated, valid while this WideText lives.
    const char16_t* c_str() const noexcept { return units_.c_str(); }
    // For the platform records whose field is not const (SERVICE_DESCRIPTIONW);
    // the platform only reads it.
    char16_t* data() noexcept { return units_.data(); }
    // The units without the terminator.
    std::u16string_view units() const noexcept { return units_; }

private:
    explicit WideText(std::u16string units) noexcept : units_(std::move(units)) {}

    // std::u16string keeps a NUL after its last unit: that is the terminator.
    std::u16string units_;
};

}  // namespace vek
