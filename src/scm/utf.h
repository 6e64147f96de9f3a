// UTF-8 and UTF-16 conversions between the program's texts and the platform's.
#pragma once

#include "platform/utf16.h"

#include <optional>
#include <string>
#include <string_view>

namespace vek {

// Encodes UTF-8 as UTF-16: a code point up to U+FFFF as one unit, a higher one
// as a surrogate pair. A byte sequence that does not decode becomes U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

// Decodes the code point at `text[i]` (i < text.size()), advancing `i` past
// it: two units for a surrogate pair, one otherwise. nullopt for an unpaired
// surrogate, which `i` is advanced past as well.
std::optional<char32_t> decode_utf16(std::u16string_view text, std::size_t& i);

// Decodes UTF-16 to UTF-8; nullopt when the units hold an unpaired surrogate.
std::optional<std::string> utf16_to_utf8(std::u16string_view text);

// Appends one code point as UTF-8.
void append_utf8(std::string& out, char32_t code_point);

}  // namespace vek
