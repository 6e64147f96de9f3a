#pragma once

#include <cstddef>
#include <string_view>

namespace vek {

// Whether a code point has the Unicode White_Space property.
constexpr bool is_white_space(char32_t c) noexcept {
    return (c >= 0x9 && c <= 0xD) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// The length of `text` (UTF-8) without its trailing white space. Bytes that
// do not decode are kept.
std::size_t length_without_trailing_white_space(std::string_view text) noexcept;

}  // namespace vek
