#include "scm/utf.h"

namespace vek {

namespace {

constexpr char32_t replacement_character = 0xFFFD;

// Decodes one UTF-8 sequence at `text[i]`, advancing `i`. Overlong forms,
// surrogates and values above U+10FFFF do not decode.
char32_t decode_utf8(std::string_view text, std::size_t& i) {
    auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    std::size_t length;
    char32_t c;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, c = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, c = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, c = lead & 0x07, minimum = 0x10000;
    } else {
        ++i;
        return replacement_character;
    }
    std::size_t k = 1;
    for (; k < length; ++k) {
        if (i + k >= text.size() || (byte(i + k) & 0xC0) != 0x80) break;
        c = c << 6 | (byte(i + k) & 0x3F);
    }
    if (k < length) {
        i += k;
        return replacement_character;
    }
    i += length;
    if (c < minimum || c > 0x10FFFF || is_surrogate(c)) return replacement_character;
    return c;
}

constexpr std::size_t utf8_length(char32_t c) {
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

}  // namespace

std::u16string utf8_to_utf16(std::string_view text) {
    std::u16string units;
    units.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t c = decode_utf8(text, i);
        if (c <= 0xFFFF) {
            units.push_back(static_cast<char16_t>(c));
        } else {
            units.push_back(high_surrogate_of(c));
            units.push_back(low_surrogate_of(c));
        }
    }
    return units;
}

std::optional<char32_t> decode_utf16(std::u16string_view text, std::size_t& i) {
    if (is_surrogate_pair_at(text, i)) {
        i += 2;
        return surrogate_pair_value(text[i - 2], text[i - 1]);
    }
    char16_t unit = text[i++];
    if (is_surrogate(unit)) return std::nullopt;
    return unit;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::optional<std::string> utf16_to_utf8(std::u16string_view text) {
    // Sized first, so that the converted text takes one allocation.
    std::size_t size = 0;
    for (std::size_t i = 0; i < text.size();) {
        std::optional<char32_t> c = decode_utf16(text, i);
        if (!c) return std::nullopt;
        size += utf8_length(*c);
    }
    std::string out;
    out.reserve(size);
    for (std::size_t i = 0; i < text.size();) append_utf8(out, *decode_utf16(text, i));
    return out;
}

}  // namespace vek
