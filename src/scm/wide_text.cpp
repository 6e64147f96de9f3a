#include "scm/wide_text.h"

#include "scm/utf.h"

namespace vek {

std::optional<WideText> WideText::accept(std::u16string units) {
    std::size_t nul = units.find(u'\0');
    if (nul == std::u16string::npos) return WideText(std::move(units));
    if (nul + 1 != units.size()) return std::nullopt;
    units.pop_back();
    return WideText(std::move(units));
}

std::expected<WideText, ScmError> WideText::from_units(std::u16string units,
                                                       std::string_view label) {
    if (auto text = accept(std::move(units))) return std::move(*text);
    return std::unexpected(ScmError::ArgumentHasNulByte{label});
}

std::expected<WideText, ScmError> WideText::from_utf8(std::string_view text,
                                                      std::string_view label) {
    return from_units(utf8_to_utf16(text), label);
}

std::expected<WideText, ScmError> WideText::element_from_units(std::u16string units,
                                                               std::string_view label,
                                                               std::size_t index) {
    if (auto text = accept(std::move(units))) return std::move(*text);
    return std::unexpected(ScmError::ArgumentArrayElementHasNulByte{label, index});
}

}  // namespace vek
