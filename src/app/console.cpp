#include "app/console.h"

#include "scm/utf.h"

#include <algorithm>
#include <string>

namespace vek {

namespace {

// WriteConsoleW's text passes through a heap of 64 KB that the console
// shares with the process, so a console write is kept to 16 K units (32 KB).
// Files and pipes have no such limit; they are cut at the same count, which
// costs nothing.
constexpr std::size_t max_piece = 16 * 1024;

// Where a piece of `text` that would end at `end` may end. Bytes: anywhere.
std::size_t piece_end(std::string_view, std::size_t end) { return end; }
// UTF-16 on a console: a pair split between two writes shows as two
// replacement characters, so a piece ends before the high half instead;
// unless that leaves nothing, since a write must make progress (a console
// that takes only a high half has already shown it).
std::size_t piece_end(std::u16string_view text, std::size_t end) {
    return end > 1 && is_surrogate_pair_at(text, end - 1) ? end - 1 : end;
}

// Writes all of `text` through `write(data, count, &written)`, which may take
// less than it is offered. A write that fails, or takes nothing, ends it.
template <class Unit, class Write>
StreamWrite write_all(std::basic_string_view<Unit> text, Write write) {
    while (!text.empty()) {
        auto offered =
            static_cast<platform::Dword>(piece_end(text, std::min(text.size(), max_piece)));
        platform::Dword written = 0;
        if (!write(text.data(), offered, &written))
            return {StreamWrite::Outcome::failed, platform::GetLastError()};
        if (written == 0) return {StreamWrite::Outcome::failed, platform::error_write_fault};
        // What was taken may end inside a pair too: the next write then
        // sends the pair again, whole.
        text.remove_prefix(piece_end(text, std::min(written, offered)));
    }
    return {StreamWrite::Outcome::written};
}

platform::Dword selector(StandardStream stream) {
    return stream == StandardStream::output ? platform::std_output_handle
                                            : platform::std_error_handle;
}

}  // namespace

StreamWrite write_std_stream(StandardStream stream, std::string_view text) {
    platform::Handle handle = platform::GetStdHandle(selector(stream));
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
