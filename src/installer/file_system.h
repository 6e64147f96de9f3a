// What the installer asks the platform about files: its own path, and whether
// something exists at a path.
#pragma once

#include "platform/buffer_read.h"
#include "platform/win32.h"
#include "scm/os_error.h"

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace vek {

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
