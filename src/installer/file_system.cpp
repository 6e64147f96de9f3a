#include "installer/file_system.h"

#include "installer/path_grammar.h"

namespace vek {

namespace {

using platform::Dword;

// All three, so that an entry open elsewhere in any way can still be looked at.
constexpr Dword share_all =
    platform::file_share_read | platform::file_share_write | platform::file_share_delete;
// Set in the reparse tag of a link-like entry (symbolic link, junction).
constexpr Dword name_surrogate_bit = 0x20000000;

struct EntryAttributes {
    Dword attributes;
    Dword reparse_tag;

    bool is_link() const {
        return (attributes & platform::file_attribute_reparse_point) != 0 &&
               (reparse_tag & name_surrogate_bit) != 0;
    }
};

// The entry as its directory lists it, or the open's code when the directory
// has no such entry or it is a link (the listing cannot tell whether its
// target exists).
std::expected<EntryAttributes, Dword> look_up_in_directory(const std::u16string& path,
                                                           Dword open_code) {
    platform::Win32FindData data{};
    platform::Handle search = platform::FindFirstFileW(path.c_str(), &data);
    if (search == platform::invalid_handle_value()) return std::unexpected(open_code);
    (void)platform::FindClose(search);
    EntryAttributes entry{data.dwFileAttributes, 0};
    if ((entry.attributes & platform::file_attribute_reparse_point) != 0)
        entry.reparse_tag = data.dwReserved0;
    if (entry.is_link()) return std::unexpected(open_code);
    return entry;
}

// Opens the entry (with `extra_flags` beside backup semantics, which lets a
// directory be opened) and reads its attributes; an open refused for access or
// sharing falls back to the directory listing. Fails with the code of the
// call that failed.
std::expected<EntryAttributes, Dword> read_attributes(const std::u16string& path,
                                                      Dword extra_flags) {
    // Access 0: only the attributes are read, which needs no right on the
    // file itself.
    platform::Handle file = platform::CreateFileW(
        path.c_str(), 0, share_all, nullptr, platform::open_existing,
        platform::file_flag_backup_semantics | extra_flags, nullptr);
    if (file == platform::invalid_handle_value()) {
        Dword code = platform::GetLastError();
        if (code == platform::error_access_denied || code == platform::error_sharing_violation)
            return look_up_in_directory(path, code);
        return std::unexpected(code);
    }

    platform::ByHandleFileInformation information{};
    if (platform::GetFileInformationByHandle(file, &information) == 0) {
        Dword code = platform::GetLastError();
        (void)platform::CloseHandle(file);
        return std::unexpected(code);
    }
    EntryAttributes entry{information.dwFileAttributes, 0};
    if ((entry.attributes & platform::file_attribute_reparse_point) != 0) {
        platform::FileAttributeTagInfo tag{};
        if (platform::GetFileInformationByHandleEx(file, platform::file_attribute_tag_info_class,
                                                   &tag, sizeof tag) == 0) {
            Dword code = platform::GetLastError();
            (void)platform::CloseHandle(file);
            return std::unexpected(code);
        }
        entry = EntryAttributes{tag.FileAttributes, tag.ReparseTag};
    }
    (void)platform::CloseHandle(file);
    return entry;
}

}  // namespace

std::expected<std::u16string, OsError> own_executable_path() {
    auto path = read_growing<char16_t>([](char16_t* buffer, Dword size) {
        return platform::GetModuleFileNameW(nullptr, buffer, size);
    });
    if (!path) return std::unexpected(OsError(static_cast<std::int32_t>(path.error())));
    return std::move(*path);
}

std::optional<std::u16string> platform_path(std::u16string_view path) {
    if (path.find(u'\0') != std::u16string_view::npos) return std::nullopt;
    if (taken_as_is(path)) return std::u16string(path);
    std::u16string text(path);
    auto full = read_growing<char16_t>([&text](char16_t* buffer, Dword size) {
        return platform::GetFullPathNameW(text.c_str(), size, buffer, nullptr);
    });
    if (!full) return std::nullopt;
    return with_verbatim_prefix(std::move(*full));
}

bool path_exists(std::u16string_view path) {
    std::optional<std::u16string> formed = platform_path(path);
    if (!formed) return false;
    auto entry = read_attributes(*formed, 0);
    if (entry) return true;
    if (entry.error() != platform::error_cant_access_file) return false;
    // The link could not be followed: look at the entry itself.
    entry = read_attributes(*formed, platform::file_flag_open_reparse_point);
    return entry && !entry->is_link();
}

}  // namespace vek
