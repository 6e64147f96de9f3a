// Reading a text from a Win32 function that fills a caller's buffer of a size
// it cannot tell in advance (GetModuleFileNameW, GetFullPathNameW,
// GetCurrentDirectoryW, GetEnvironmentVariableW): the one loop that offers a
// buffer, reads the answer and offers a larger one until the text fits. In the
// lowest layer, so that the installer and the platform's own backtrace both
// use it.
#pragma once

#include "platform/win32.h"

#include <expected>
#include <string>

namespace vek {

// The first size offered, and the largest size a Dword can offer.
inline constexpr platform::Dword first_buffer_size = 512;
inline constexpr platform::Dword largest_buffer_size = 0xFFFFFFFF;

// What one call of a buffer-filling function means, given the size offered,
// its result and the last-error code read right after it.
struct BufferReadStep {
    enum class Kind {
        // `value` units were written, without the NUL (0: the text is empty).
        done,
        // Call again with a buffer of `value` units.
        retry,
        // The call failed with error code `value`.
        failed,
    };
    Kind kind;
    platform::Dword value;

    friend bool operator==(const BufferReadStep&, const BufferReadStep&) = default;
};

// Result 0 fails with the last-error code, or is the empty text when that
// code is 0. A result equal to the size means the text was cut: the size
// doubles, up to largest_buffer_size; a text still cut at that size fails
// with the last-error code (122 when there is none) instead of asking again
// for ever. A result above the size is the size needed. Anything smaller is
// the text's length.
[[nodiscard]] constexpr BufferReadStep judge_buffer_read(platform::Dword size,
                                                         platform::Dword result,
                                                         platform::Dword last_error) noexcept {
    using Kind = BufferReadStep::Kind;
    if (result == 0) {
        if (last_error != 0) return {Kind::failed, last_error};
        return {Kind::done, 0};
    }
    if (result == size) {
        if (size == largest_buffer_size) {
            // No larger buffer can be offered; asking again would give the
            // same answer for ever.
            return {Kind::failed,
                    last_error != 0 ? last_error : platform::error_insufficient_buffer};
        }
        return {Kind::retry, size > largest_buffer_size / 2 ? largest_buffer_size : size * 2};
    }
    if (result > size) return {Kind::retry, result};
    return {Kind::done, result};
}

// The text that `call(buffer, size)` writes, read with buffers grown as
// judge_buffer_read says; or the error code of the failed call. `Unit` is the
// caller's 16-bit unit (char16_t above the platform, wchar_t at the Windows
// edge). The buffer is released on every way out.
template <class Unit, class Call>
[[nodiscard]] std::expected<std::basic_string<Unit>, platform::Dword> read_growing(Call call) {
    static_assert(sizeof(Unit) == 2, "the platform's texts are UTF-16");
    std::basic_string<Unit> buffer;
    platform::Dword size = first_buffer_size;
    for (;;) {
        buffer.resize(size);
        // Cleared first: a zero result with no code set means an empty text.
        platform::SetLastError(0);
        platform::Dword result = call(buffer.data(), size);
        BufferReadStep step = judge_buffer_read(size, result, platform::GetLastError());
        switch (step.kind) {
            case BufferReadStep::Kind::done:
                buffer.resize(step.value);
                return buffer;
            case BufferReadStep::Kind::retry:
                size = step.value;
                break;
            case BufferReadStep::Kind::failed:
                return std::unexpected(step.value);
        }
    }
}

}  // namespace vek
