// The texts a new service is registered with besides its names: its command
// line (the quoted executable path and launch arguments) and its dependency
// list.
#pragma once

#include "scm/scm_error.h"
#include "scm/service_definition.h"
#include "scm/wide_text.h"

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace vek {

// Quotes one command-line element so that the C runtime's argument parser
// gives it back unchanged. A text that is not empty and holds none of double
// quote, space, tab, line feed and vertical tab is returned as it is;
// otherwise it is enclosed in double quotes, each run of backslashes before a
// double quote (or before the closing quote) is doubled, and each double quote
// gets one more backslash. Works on UTF-16 units, so surrogates (paired or
// not) pass unchanged.
[[nodiscard]] std::u16string quote_argument(std::u16string_view argument);

// The command line: the quoted executable path (label "executable path"),
// then for each launch argument one space and the quoted argument (label
// "launch argument", refused with its zero-based index).
[[nodiscard]] std::expected<WideText, ScmError> build_command_line(
    std::u16string_view executable_path, std::span<const std::string> launch_arguments);

// The service types that are drivers, which take no launch arguments:
// SERVICE_KERNEL_DRIVER 0x1, SERVICE_FILE_SYSTEM_DRIVER 0x2 and
// SERVICE_RECOGNIZER_DRIVER 0x8 (the platform's SERVICE_DRIVER).
inline constexpr std::uint32_t driver_service_types = 0xB;
constexpr bool is_driver_type(std::uint32_t service_type) noexcept {
    return (service_type & driver_service_types) != 0;
}

// A dependency list as CreateServiceW takes it: each identifier followed by
// one NUL, and one more NUL after the last. An empty list is no list at all.
class DependencyList {
public:
    // The list for CreateServiceW: NULL when empty.
    const char16_t* get() const noexcept { return units_.empty() ? nullptr : units_.c_str(); }
    // Every unit, both final NULs included; empty for an empty list.
    std::u16string_view units() const noexcept { return units_; }

private:
    friend std::expected<DependencyList, ScmError> encode_dependencies(
        std::span<const ServiceDependency> dependencies);
    std::u16string units_;
};

// Encodes the dependencies in order, each identifier under the label
// "dependency" (refused as ArgumentHasNulByte, without index). An identifier
// that is empty after conversion is refused the same way: in the list it would
// be the list's own end.
[[nodiscard]] std::expected<DependencyList, ScmError> encode_dependencies(
    std::span<const ServiceDependency> dependencies);

}  // namespace vek
