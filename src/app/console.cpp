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
            if (count < text.size() && is_high_surrogate(text[count - 1])) --count;
        }
        platform::Dword written = 0;
        if (!write(text.data(), count, &written))
            return {StreamWrite::Outcome::failed, platform::GetLastError()};
        if (written == 0) return {StreamWrite::Outcome::failed, error_write_fault};
        std::size_t taken = std::min<std::size_t>(written, text.size());
        // The console may take less than it was given, and stop between the
        // two halves of a pair: then the pair is written again whole, rather
        // than the next write beginning with a lone low half. (A write that
        // took only that high half is left as it is, so the loop still ends.)
        if constexpr (sizeof(Unit) == 2) {
            if (taken > 1 && is_surrogate_pair_at(text, taken - 1)) --taken;
        }
        text.remove_prefix(taken);
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
