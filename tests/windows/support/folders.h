// Folders of the test's own, each made fresh, holding copies of the
// installer and the sample service as a user would lay them out. Paths of any
// length: every call uses the long (\\?\) form.
#pragma once

#include "bundle.h"
#include "text.h"
#include "windows_api.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace vek::windows_test {

// Removes `path` with everything inside it; a missing path is fine. The
// folder a program with a console of its own ran in is still held, for a
// moment after the program's end is signalled, by the host of that console
// (measured under Wine 8 and 10; never with no console, and never a file;
// on Windows a scanner may do the same to anything), so a sharing violation
// or a denied access is tried again for a few seconds before it fails the
// test.
inline void remove_tree(const std::wstring& path) {
    for (int attempt = 1;; ++attempt) {
        if (remove_path(path)) return;
        DWORD error = GetLastError();
        bool held = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
        if (!held || attempt == 50) {
            ADD_FAILURE() << "cannot remove " << utf8(path) << ": " << error;
            return;
        }
        Sleep(100);
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

inline void make_empty_file(const std::wstring& path) {
    HANDLE file = CreateFileW(long_form(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        ADD_FAILURE() << "cannot make " << utf8(path) << ": " << GetLastError();
    else
        CloseHandle(file);
}

// The programs under test, as the bundle holds them.
inline std::wstring built_installer() { return bundle_file(L"dist\\vek-system-service-setup.exe"); }
// The installer's symbols, which ship beside it.
inline std::wstring built_installer_symbols() {
    return bundle_file(L"dist\\vek-system-service-setup.pdb");
}
inline std::wstring built_service() { return bundle_file(L"service\\vek-system-service.exe"); }

// Puts the tests' marker in `folder`, owned by Administrators (as the
// folders the tests make are) whoever this process's default owner is.
inline void make_marker(const std::wstring& folder) {
    SECURITY_ATTRIBUTES owner{sizeof owner, nullptr, FALSE};
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BA", SDDL_REVISION_1,
                                                         &owner.lpSecurityDescriptor, nullptr);
    HANDLE marker = CreateFileW(long_form(folder + L"\\" + marker_name).c_str(), GENERIC_WRITE,
                                0, &owner, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker == INVALID_HANDLE_VALUE)
        ADD_FAILURE() << "cannot mark " << utf8(folder) << ": " << GetLastError();
    else
        CloseHandle(marker);
    LocalFree(owner.lpSecurityDescriptor);
}

// Makes the tests' folder outside the bundle, C:\vek-scenarios, protected
// (protected_folder_security) and with the tests' marker in it, unless it is
// there and is the tests' own: then it is given that security again. One
// that is there and is not (another account made it, at the root of C:
// where any user may), or that cannot be given it, is never used: the
// program ends at once, before anything of a test is put there.
inline void make_scenarios_root() {
    auto refuse = [](const std::string& why) {
        std::fprintf(stderr, "%s %s: no test is run there\n", utf8(scenarios_root).c_str(),
                     why.c_str());
        ExitProcess(3);
    };
    if (!make_protected_folder(scenarios_root)) {
        DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS)
            refuse("cannot be made: error " + std::to_string(error));
        FolderCheck check = check_folder(scenarios_root);
        if (check.state != FolderCheck::tests_own) refuse("is there and " + check.why);
        if (!protect_folder(scenarios_root))
            refuse("is there and cannot be given its protected security again: error " +
                   std::to_string(GetLastError()));
        return;
    }
    make_marker(scenarios_root);
}

// Removes C:\vek-scenarios, if it is the tests' own.
inline void remove_scenarios_root() {
    if (check_folder(scenarios_root).state == FolderCheck::tests_own) remove_tree(scenarios_root);
}

// A fresh folder of that name under C:\vek-scenarios.
inline std::wstring scenario_folder(const std::wstring& name) {
    make_scenarios_root();
    std::wstring folder = std::wstring(scenarios_root) + L"\\" + name;
    fresh_folder(folder);
    return folder;
}

inline constexpr wchar_t installer_file_name[] = L"vek-system-service-setup.exe";
inline constexpr wchar_t installer_symbols_file_name[] = L"vek-system-service-setup.pdb";
inline constexpr wchar_t service_file_name[] = L"vek-system-service.exe";

}  // namespace vek::windows_test
