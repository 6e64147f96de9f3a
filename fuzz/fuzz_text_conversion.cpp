// Text conversion for the platform. The input, as UTF-8, converts to UTF-16
// that a WideText takes exactly when it holds no NUL but possibly a last one;
// valid UTF-8 survives the round trip. The input, as UTF-16 units, converts
// to UTF-8 exactly when it has no unpaired surrogate, and back unchanged.
#include "scm/utf.h"
#include "scm/wide_text.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

bool valid_utf8(std::string_view text) {
    std::u16string units = vek::utf8_to_utf16(text);
    auto back = vek::utf16_to_utf8(units);
    return back && *back == text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);

    std::u16string units = vek::utf8_to_utf16(bytes);
    auto wide = vek::WideText::from_utf8(bytes, "service name");
    std::size_t first_nul = units.find(u'\0');
    bool acceptable = first_nul == std::u16string::npos || first_nul == units.size() - 1;
    if (wide.has_value() != acceptable) std::abort();
    if (wide) {
        std::u16string_view expected(units);
        if (first_nul != std::u16string::npos) expected.remove_suffix(1);
        if (wide->units() != expected || wide->c_str()[expected.size()] != u'\0') std::abort();
    } else if (wide.error().message() != "service name contains a nul byte") {
        std::abort();
    }
    // Whatever the bytes, the UTF-16 holds no unpaired surrogate.
    if (!vek::utf16_to_utf8(units)) std::abort();
    (void)valid_utf8(bytes);

    std::u16string raw(size / 2, u'\0');
    for (std::size_t i = 0; i < raw.size(); ++i)
        raw[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
    if (auto utf8 = vek::utf16_to_utf8(raw)) {
        if (vek::utf8_to_utf16(*utf8) != raw) std::abort();
    } else {
        bool unpaired = false;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            char16_t u = raw[i];
            if (u >= 0xD800 && u <= 0xDBFF) {
                if (i + 1 < raw.size() && raw[i + 1] >= 0xDC00 && raw[i + 1] <= 0xDFFF)
                    ++i;
                else
                    unpaired = true;
            } else if (u >= 0xDC00 && u <= 0xDFFF) {
                unpaired = true;
            }
        }
        if (!unpaired) std::abort();
    }
    return 0;
}
