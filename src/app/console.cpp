#include "app/console.h"

#include "scm/utf.h"

#include <algorithm>
#include <string>

namespace vek {

namespace {

// ERROR_WRITE_FAULT: a write that reported success but took nothing.
constexpr platform::Dword error_write_fault = 29;
// Console writes are kept well below the console's own buffer limits.
constexpr std::size_t max_write = 16 * 1024;

template <class Unit, class Write>
StreamWrite write_all(std::basic_string_view<Unit> text, Write write) {
    while (!text.empty()) {
        auto count = static_cast<platform::Dword>(std::min(text.size(), max_write));
        // A surrogate pair split between two console writes shows as two
        // replacement characters: end the piece before its high half.
        if constexpr (sizeof(Unit) == 2) {
            if (count < text.size() && text[count - 1] >= 0xD800 && text[count - 1] <= 0xDBFF)
                --count;
        }
        platform::Dword written = 0;
        if (!write(text.data(), count, &written))
            return {StreamWrite::Outcome::failed, platform::GetLastError()};
        if (written == 0) return {StreamWrite::Outcome::failed, error_write_fault};
        text.remove_prefix(std::min<std::size_t>(written, text.size()));
    }
    return {StreamWrite::Outcome::written};
}

}  // namespace

StreamWrite write_std_stream(platform::Dword which, std::string_view text) {
    platform::Handle handle = platform::GetStdHandle(which);
    if (handle == nullptr || handle == platform::invalid_handle_value())
        return {StreamWrite::Outcome::not_attached};

    platform::Dword mode = 0;
    if (platform::GetConsoleMode(handle, &mode)) {
        std::u16string units = utf8_to_utf16(text);
        return write_all(std::u16string_view(units),
                         [&](const char16_t* data, platform::Dword count, platform::Dword* written) {
                             return platform::WriteConsoleW(handle, data, count, written, nullptr);
                         });
    }
    return write_all(text, [&](const char* data, platform::Dword count, platform::Dword* written) {
        return platform::WriteFile(handle, data, count, written, nullptr);
    });
}

}  // namespace vek
