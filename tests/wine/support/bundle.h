// The test bundle's layout, as every test program in it finds its files:
// relative to the bundle's own folder, wherever it was unpacked, never by a
// path of the machine that built it. The programs lie in <bundle>\tests.
//
//   <bundle>\run-tests.cmd        runs every tests\*_test.exe
//   <bundle>\vek-tests.marker     marks the folder as the tests' own
//   <bundle>\dist\                the installer and its PDB as they ship
//   <bundle>\service\             the sample service and its query tool
//   <bundle>\tests\               the test programs, probes and planted DLLs
//   <bundle>\work\                scratch of the test programs
//   <bundle>\logs\                each program's output and result
//
// It also names everything a test run may make outside the bundle, so that
// the runner can check that nothing is left behind and clean up after an
// interrupted run: only what carries the marker, never anything else.
#pragma once

#include "windows_api.h"

#include <string>
#include <vector>

namespace vek::wine_test {

// The long form of a full path: a drive path (C:\...) or a share
// (\\server\share\...).
inline std::wstring long_form(const std::wstring& path) {
    if (path.starts_with(L"\\\\?\\")) return path;
    if (path.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + path.substr(2);
    return L"\\\\?\\" + path;
}

// Removes `path` with everything inside it, read-only files included; a
// missing path is fine. False when something could not be removed, with the
// platform's code as the last error.
inline bool remove_path(const std::wstring& path) {
    std::wstring full = long_form(path);
    DWORD attributes = GetFileAttributesW(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0)
        SetFileAttributesW(full.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return DeleteFileW(full.c_str()) != 0;
    bool removed = true;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((full + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if (name != L"." && name != L"..") removed = remove_path(path + L"\\" + name) && removed;
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    return RemoveDirectoryW(full.c_str()) != 0 && removed;
}

// The file that marks a folder as made by these tests. A folder of the tests
// outside the bundle gets one when it is made; anything below such a folder
// (a service's program, say) is the tests' own.
inline constexpr wchar_t marker_name[] = L"vek-tests.marker";

// The folder the running test program lies in, without a final separator.
inline std::wstring own_folder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L'\\'));
}

// The bundle's own folder: the one above tests\.
inline std::wstring bundle_root() {
    std::wstring tests = own_folder();
    return tests.substr(0, tests.find_last_of(L'\\'));
}

// A file of the bundle, by its path below the bundle's folder.
inline std::wstring bundle_file(const std::wstring& relative) {
    return bundle_root() + L"\\" + relative;
}

// Whether this runs under Wine (its ntdll exports wine_get_version).
inline bool under_wine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The services the tests register, each removed again by the test that made
// it.
inline const std::vector<std::wstring>& test_services() {
    static const std::vector<std::wstring> names = {L"vek-system-service", L"vek-scm-client-test"};
    return names;
}

// The folders outside the bundle that tests make, each with the marker, and
// remove again.
inline constexpr wchar_t scenarios_root[] = L"C:\\vek-scenarios";

inline std::wstring program_files_folder() {
    wchar_t buffer[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"ProgramW6432", buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        length = GetEnvironmentVariableW(L"ProgramFiles", buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return L"C:\\Program Files";
    return std::wstring(buffer, length);
}

// Where the deployment script puts the programs.
inline std::wstring deployment_folder() { return program_files_folder() + L"\\Vek System Service"; }

inline std::vector<std::wstring> test_folders() {
    return {scenarios_root, deployment_folder()};
}

}  // namespace vek::wine_test
