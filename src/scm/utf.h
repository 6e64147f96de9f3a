// UTF-8 and UTF-16 conversions between the program's texts and the platform's.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vek {

// UTF-16 surrogates: the one place that knows their ranges. A high surrogate
// (0xD800 to 0xDBFF) followed by a low one (0xDC00 to 0xDFFF) is one code point
// above U+FFFF; either alone is an unpaired unit.
constexpr bool is_high_surrogate(char32_t unit) noexcept { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool is_low_surrogate(char32_t unit) noexcept { return unit >= 0xDC00 && unit <= 0xDFFF; }
constexpr bool is_surrogate(char32_t unit) noexcept {
    return is_high_surrogate(unit) || is_low_surrogate(unit);
}
// Whether `text[at]` and `text[at + 1]` form a surrogate pair.
constexpr bool is_surrogate_pair_at(std::u16string_view text, std::size_t at) noexcept {
    return at + 1 < text.size() && is_high_surrogate(text[at]) && is_low_surrogate(text[at + 1]);
}
// The code point of a surrogate pair.
constexpr char32_t surrogate_pair_value(char16_t high, char16_t low) noexcept {
    return 0x10000 + ((char32_t{high} - 0xD800) << 10) + (char32_t{low} - 0xDC00);
}
// The two halves of a code point above U+FFFF.
constexpr char16_t high_surrogate_of(char32_t code_point) noexcept {
    return static_cast<char16_t>(0xD800 + ((code_point - 0x10000) >> 10));
}
constexpr char16_t low_surrogate_of(char32_t code_point) noexcept {
    return static_cast<char16_t>(0xDC00 + (code_point & 0x3FF));
}

// Encodes UTF-8 as UTF-16: a code point up to U+FFFF as one unit, a higher one
// as a surrogate pair. A byte sequence that does not decode becomes U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

// Decodes UTF-16 to UTF-8; nullopt when the units hold an unpaired surrogate.
std::optional<std::string> utf16_to_utf8(std::u16string_view text);

// Appends one code point as UTF-8.
void append_utf8(std::string& out, char32_t code_point);

}  // namespace vek
