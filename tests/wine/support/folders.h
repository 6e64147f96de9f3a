// Folders of the test's own, each made fresh, holding copies of the
// installer and the sample service as a user would lay them out. Paths of any
// length: every call uses the long (\\?\) form.
#pragma once

#include "text.h"
#include "windows_api.h"

#include <gtest/gtest.h>

#include <string>

namespace vek::wine_test {

// The long form of a full drive path (C:\...).
inline std::wstring long_form(const std::wstring& path) {
    return path.starts_with(L"\\\\?\\") ? path : L"\\\\?\\" + path;
}

// Removes `path` with everything inside it; a missing path is fine.
inline void remove_tree(const std::wstring& path) {
    std::wstring long_path = long_form(path);
    DWORD attributes = GetFileAttributesW(long_path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        WIN32_FIND_DATAW entry;
        HANDLE search = FindFirstFileW((long_path + L"\\*").c_str(), &entry);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = entry.cFileName;
                if (name != L"." && name != L"..") remove_tree(path + L"\\" + name);
            } while (FindNextFileW(search, &entry));
            FindClose(search);
        }
        if (!RemoveDirectoryW(long_path.c_str()))
            ADD_FAILURE() << "cannot remove " << utf8(path) << ": " << GetLastError();
    } else if (!DeleteFileW(long_path.c_str())) {
        ADD_FAILURE() << "cannot remove " << utf8(path) << ": " << GetLastError();
    }
}

// Makes `path` and any missing parents.
inline void make_directories(const std::wstring& path) {
    std::size_t at = path.find(L'\\', 3);  // after "C:\"
    while (true) {
        std::wstring part = path.substr(0, at);
        if (!CreateDirectoryW(long_form(part).c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS)
            ADD_FAILURE() << "cannot make " << utf8(part) << ": " << GetLastError();
        if (at == std::wstring::npos) return;
        at = path.find(L'\\', at + 1);
    }
}

// `path` as an empty folder, whatever was there before.
inline void fresh_folder(const std::wstring& path) {
    remove_tree(path);
    make_directories(path);
}

inline void copy_file(const std::wstring& from, const std::wstring& to) {
    if (!CopyFileW(long_form(from).c_str(), long_form(to).c_str(), FALSE))
        ADD_FAILURE() << "cannot copy " << utf8(from) << " to " << utf8(to) << ": "
                      << GetLastError();
}

// The programs under test, as this build made them (Windows paths).
inline std::wstring built_installer() {
    return windows_path_of_host_path(environment("VEK_INSTALLER"));
}
// The installer's symbols, which ship beside it.
inline std::wstring built_installer_symbols() {
    std::wstring installer = built_installer();
    return installer.substr(0, installer.size() - 4) + L".pdb";
}
inline std::wstring built_service() {
    return windows_path_of_host_path(environment("VEK_BUILD_DIR") + "/vek-system-service.exe");
}

inline constexpr wchar_t installer_file_name[] = L"vek-system-service-setup.exe";
inline constexpr wchar_t installer_symbols_file_name[] = L"vek-system-service-setup.pdb";
inline constexpr wchar_t service_file_name[] = L"vek-system-service.exe";

}  // namespace vek::wine_test
