#include "errors/white_space.h"

namespace vek {

std::size_t length_without_trailing_white_space(std::string_view text) noexcept {
    std::size_t end = text.size();
    while (end > 0) {
        // Step back over one UTF-8 sequence: continuation bytes, then its lead.
        std::size_t start = end - 1;
        while (start > 0 && end - start < 4 &&
               (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
            --start;
        auto lead = static_cast<unsigned char>(text[start]);
        std::size_t length = end - start;
        char32_t c;
        if (length == 1 && lead < 0x80) {
            c = lead;
        } else if (length == 2 && (lead & 0xE0) == 0xC0) {
            c = (lead & 0x1F) << 6 | (static_cast<unsigned char>(text[start + 1]) & 0x3F);
        } else if (length == 3 && (lead & 0xF0) == 0xE0) {
            c = (lead & 0x0F) << 12 | (static_cast<unsigned char>(text[start + 1]) & 0x3F) << 6 |
                (static_cast<unsigned char>(text[start + 2]) & 0x3F);
        } else {
            break;  // four-byte characters hold no white space; others do not decode
        }
        if (!is_white_space(c)) break;
        end = start;
    }
    return end;
}

}  // namespace vek
