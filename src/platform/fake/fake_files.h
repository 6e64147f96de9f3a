// The fake platform's file system: the running module's file name, entries
// by exact path text, and the absolute forms GetFullPathNameW gives. Every
// file call is recorded (fake_platform.h) and can be made to fail with
// fail_next(function, code); an entry can also be told how its own calls go.
#pragma once

#include "platform/win32.h"

#include <optional>
#include <string>

namespace vek::platform::fake {

// FILE_ATTRIBUTE_NORMAL, the attributes of a plain file.
inline constexpr Dword file_attribute_normal = 0x80;
// Two reparse tags: a symbolic link (a name surrogate) and one that is not.
inline constexpr Dword io_reparse_tag_symlink = 0xA000000C;
inline constexpr Dword io_reparse_tag_dedup = 0x80000013;

// GetModuleFileNameW copies the name and its NUL, clears the last error and
// returns the name's length. When the buffer is too small it writes what fits
// (size - 1 units and a NUL), returns the size and sets
// ERROR_INSUFFICIENT_BUFFER, as Windows does: it never returns more than the
// size. An empty name gives 0 and leaves the last error alone.
struct ModuleFileName {
    std::u16string name = u"C:\\Tools\\setup.exe";
};
ModuleFileName& module_file_name();

// One entry of the file system, found by the exact text handed to the
// platform (the tests name the verbatim form where the code forms one).
struct FileEntry {
    Dword attributes = file_attribute_normal;
    // Given with attributes that have FILE_ATTRIBUTE_REPARSE_POINT.
    Dword reparse_tag = 0;
    // CreateFileW fails with this code when it follows links (no
    // FILE_FLAG_OPEN_REPARSE_POINT) ...
    std::optional<Dword> open_failure;
    // ... and with this one when it opens the entry itself.
    std::optional<Dword> open_failure_not_following;
    // GetFileInformationByHandle and GetFileInformationByHandleEx fail with
    // these codes on a handle of this entry.
    std::optional<Dword> information_failure;
    std::optional<Dword> tag_information_failure;
    // Whether FindFirstFileW finds it (false: its directory cannot be listed).
    bool listed = true;
};
void add_entry(std::u16string path, FileEntry entry);

// GetFullPathNameW gives `full` for exactly `path`. Paths without such an
// answer are made absolute against the current directory by a simple
// normalisation: separators become "\", "." and ".." are resolved.
void set_full_path(std::u16string path, std::u16string full);
// The current directory (default C:\Work), an absolute drive path.
void set_current_directory(std::u16string directory);

}  // namespace vek::platform::fake
