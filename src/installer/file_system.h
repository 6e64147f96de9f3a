// What the installer asks the platform about files: its own path, and whether
// something exists at a path.
#pragma once

#include "platform/win32.h"
#include "scm/os_error.h"

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace vek {

// The first size offered to a call that fills a buffer of unknown need, and
// the largest size a Dword can offer.
inline constexpr platform::Dword first_buffer_size = 512;
inline constexpr platform::Dword largest_buffer_size = 0xFFFFFFFF;
// A path this long or longer, counting its NUL, is handed to the platform in
// its verbatim form: the plain form is cut off at MAX_PATH on systems without
// long-path support.
inline constexpr std::size_t long_path_units = 248;

// What one call of a buffer-filling function (GetModuleFileNameW,
// GetFullPathNameW) means, given the size offered, its result and the
// last-error code read right after it.
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
[[nodiscard]] BufferReadStep judge_buffer_read(platform::Dword size, platform::Dword result,
                                               platform::Dword last_error) noexcept;

// The full path of the running executable, exactly as the platform gives it,
// or the OsError of a failed GetModuleFileNameW.
[[nodiscard]] std::expected<std::u16string, OsError> own_executable_path();

// The text handed to the platform for `path`: the path itself when the
// platform takes it as it is (verbatim, or short and absolute or a share), or
// its absolute form from GetFullPathNameW with the verbatim prefix. nullopt
// when the path holds a NUL or GetFullPathNameW fails.
[[nodiscard]] std::optional<std::u16string> platform_path(std::u16string_view path);

// Whether the platform can open the entry at `path` (file or directory,
// following links) and read its attributes; an entry it may not open counts
// when its directory lists it and it is not a link. Never fails: every error
// means no. Every handle it opens is closed before it returns.
[[nodiscard]] bool path_exists(std::u16string_view path);

}  // namespace vek
