// The errors of the service control client: ScmError and the RawValueError
// that a failed decoding of a platform value carries.
#pragma once

#include "errors/reportable_error.h"
#include "scm/os_error.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace vek {

// The labels that name the field being converted or decoded. Errors refer to
// them and never copy them.
namespace labels {
inline constexpr std::string_view service_name = "service name";
inline constexpr std::string_view display_name = "display name";
inline constexpr std::string_view account_name = "account name";
inline constexpr std::string_view account_password = "account password";
inline constexpr std::string_view executable_path = "executable path";
inline constexpr std::string_view launch_argument = "launch argument";
inline constexpr std::string_view dependency = "dependency";
inline constexpr std::string_view service_description = "service description";
inline constexpr std::string_view start_argument = "start argument";
inline constexpr std::string_view service_status = "service status";
}  // namespace labels

class RawValueError final : public ReportableError {
public:
    struct InvalidInteger {
        std::uint32_t value;
    };
    struct InvalidIntegerSigned {
        std::int32_t value;
    };
    struct InvalidGuid {
        std::string value;
    };
    using Variant = std::variant<InvalidInteger, InvalidIntegerSigned, InvalidGuid>;

    template <class V>
        requires std::is_constructible_v<Variant, V&&>
    RawValueError(V&& variant) noexcept : variant_(std::forward<V>(variant)) {}

    const Variant& variant() const noexcept { return variant_; }

    void write_message(TextSink& out) const override;
    std::string diagnostic_text() const override;
    const ReportableError* cause() const noexcept override { return nullptr; }

private:
    Variant variant_;
};

class ScmError final : public ReportableError {
public:
    struct LaunchArgumentsNotSupported {};
    struct ParseValue {
        std::string_view label;
        RawValueError error;
    };
    struct ArgumentHasNulByte {
        std::string_view label;
    };
    struct ArgumentArrayElementHasNulByte {
        std::string_view label;
        std::size_t index;
    };
    struct Winapi {
        OsError error;
    };
    using Variant = std::variant<LaunchArgumentsNotSupported, ParseValue, ArgumentHasNulByte,
                                 ArgumentArrayElementHasNulByte, Winapi>;

    template <class V>
        requires std::is_constructible_v<Variant, V&&>
    ScmError(V&& variant) noexcept : variant_(std::forward<V>(variant)) {}

    // The Winapi error of the code that GetLastError gives now: call it on the
    // line right after the failed call.
    static ScmError last_winapi_error() noexcept { return Winapi{OsError::last_error()}; }

    const Variant& variant() const noexcept { return variant_; }
    template <class V>
    const V* get_if() const noexcept {
        return std::get_if<V>(&variant_);
    }

    void write_message(TextSink& out) const override;
    std::string diagnostic_text() const override;
    // The RawValueError of ParseValue, the OsError of Winapi; none otherwise.
    const ReportableError* cause() const noexcept override;

private:
    Variant variant_;
};

}  // namespace vek
