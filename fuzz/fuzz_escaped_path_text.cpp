// escaped_path_text on any path (the input as UTF-16 units): the text is
// quoted, holds no raw control character, and reading its escapes back gives
// exactly the units of the path.
#include "installer/path_text.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// Decodes one UTF-8 sequence of text known to be valid.
char32_t next_code_point(const std::string& text, std::size_t& i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) return text[i++];
    std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    char32_t c = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) c = c << 6 | (byte(i + k) & 0x3F);
    i += length;
    return c;
}

void append_units(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string path(size / 2, u'\0');
    for (std::size_t i = 0; i < path.size(); ++i)
        path[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);

    std::string text = vek::escaped_path_text(path);
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') std::abort();

    std::u16string back;
    for (std::size_t i = 1; i + 1 < text.size();) {
        char c = text[i];
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) std::abort();
        if (c == '"') std::abort();  // quotes inside are always escaped
        if (c != '\\') {
            append_units(back, next_code_point(text, i));
            continue;
        }
        char e = text[i + 1];
        i += 2;
        switch (e) {
            case '\\': back += u'\\'; break;
            case '"': back += u'"'; break;
            case '\'': back += u'\''; break;
            case 't': back += u'\t'; break;
            case 'r': back += u'\r'; break;
            case 'n': back += u'\n'; break;
            case '0': back += u'\0'; break;
            case 'u': {
                if (text[i] != '{') std::abort();
                std::size_t close = text.find('}', i);
                if (close == std::string::npos) std::abort();
                char32_t value = static_cast<char32_t>(std::stoul(text.substr(i + 1, close - i - 1), nullptr, 16));
                if (value >= 0xD800 && value <= 0xDFFF)
                    back += static_cast<char16_t>(value);
                else
                    append_units(back, value);
                i = close + 1;
                break;
            }
            default: std::abort();
        }
    }
    if (back != path) std::abort();
    return 0;
}
