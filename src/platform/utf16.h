// UTF-16 surrogates: the one place that knows their ranges. The platform's
// texts are UTF-16 units, and every layer classifies them by these rules, the
// fake platform included; they sit here, in the lowest layer, so that each
// layer may include them.
#pragma once

#include <cstddef>
#include <string_view>

namespace vek {

// A high surrogate (0xD800 to 0xDBFF) followed by a low one (0xDC00 to 0xDFFF)
// is one code point above U+FFFF; either alone is an unpaired unit.
constexpr bool is_high_surrogate(char32_t unit) noexcept { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool is_low_surrogate(char32_t unit) noexcept { return unit >= 0xDC00 && unit <= 0xDFFF; }
constexpr bool is_surrogate(char32_t unit) noexcept {
    return is_high_surrogate(unit) || is_low_surrogate(unit);
}
// Whether `text[at]` and `text[at + 1]` form a surrogate pair. Reads nothing
// past the end of `text`.
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

}  // namespace vek
