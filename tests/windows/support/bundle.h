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
//   <bundle>\logs\                each program's output and GoogleTest report
//
// It also names the folders a test run may make outside the bundle (the
// services are in ../bundle/runner.h), so that the runner can check that
// nothing is left behind and clean up after an interrupted run: only what
// carries the marker, never anything else.
#pragma once

#include "../bundle/runner.h"
#include "process.h"
#include "text.h"
#include "windows_api.h"

#include <aclapi.h>
#include <sddl.h>

#include <optional>
#include <string>
#include <vector>

namespace vek::windows_test {

// The long form of a full path: a drive path (C:\...) or a share
// (\\server\share\...).
inline std::wstring long_form(const std::wstring& path) {
    if (path.starts_with(L"\\\\?\\")) return path;
    if (path.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + path.substr(2);
    return L"\\\\?\\" + path;
}

// Whether anything (a file, a folder, a link) is at `path`.
inline bool exists(const std::wstring& path) {
    return GetFileAttributesW(long_form(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The full path of a program in the system folder (System32).
inline std::wstring system_program(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder, length) + L"\\" + name;
}

// The file that marks a folder as made by these tests. A folder of the tests
// outside the bundle gets one when it is made; anything below such a folder
// (a service's program, say) is the tests' own.
inline constexpr wchar_t marker_name[] = L"vek-tests.marker";

namespace detail {

constexpr DWORD no_such_entry = INVALID_FILE_ATTRIBUTES;

// Whether `attributes` are those of a link: a junction or a symbolic link,
// which the platform shows as a reparse point. (Wine shows a host symbolic
// link so too: DIRECTORY | REPARSE_POINT, 0x410, for one to a folder.)
inline bool is_link(DWORD attributes) {
    return attributes != no_such_entry && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Removes the link itself, never what it points to: through a handle to the
// link (FILE_FLAG_OPEN_REPARSE_POINT), and only when that handle shows a
// link. Wine opens what a host symbolic link points to even so, and its
// RemoveDirectoryW on such a link removes the folder it points to when that
// is empty (measured, Wine 8): there the link is left, with
// ERROR_NOT_SUPPORTED as the last error.
inline bool remove_link(const std::wstring& full) {
    OwnedHandle link(CreateFileW(full.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                 nullptr));
    if (!link.valid()) return false;
    BY_HANDLE_FILE_INFORMATION opened{};
    if (!GetFileInformationByHandle(link.get(), &opened)) return false;
    if (!is_link(opened.dwFileAttributes)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(link.get(), FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

}  // namespace detail

// The whole content of a file, or nothing when it cannot be read.
inline std::optional<std::string> file_content(const std::wstring& path) {
    detail::OwnedHandle file(CreateFileW(long_form(path).c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.valid()) return std::nullopt;
    std::string content;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
        content.append(buffer, got);
    return content;
}

// Removes `path` with everything inside it, read-only files included; a
// missing path is fine. A link inside (a junction or a symbolic link) is
// removed as a link and never followed, so nothing outside `path` is
// touched. While a folder is emptied it is held open without sharing the
// right to delete, so neither it nor a folder above it can be renamed or
// replaced by a link meanwhile. False when something could not be removed,
// with the platform's code as the last error.
inline bool remove_path(const std::wstring& path) {
    std::wstring full = long_form(path);
    DWORD attributes = GetFileAttributesW(full.c_str());
    if (attributes == detail::no_such_entry) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    if (detail::is_link(attributes)) return detail::remove_link(full);
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0)
        SetFileAttributesW(full.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return DeleteFileW(full.c_str()) != 0;

    detail::OwnedHandle folder(CreateFileW(
        full.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | DELETE | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder.valid()) return false;
    FILE_DISPOSITION_INFO disposition{TRUE};
    // It may have become a link since its attributes were read; what was
    // opened is what counts, and a link opened so is the link itself.
    BY_HANDLE_FILE_INFORMATION opened{};
    if (!GetFileInformationByHandle(folder.get(), &opened)) return false;
    if (detail::is_link(opened.dwFileAttributes))
        return SetFileInformationByHandle(folder.get(), FileDispositionInfo, &disposition,
                                          sizeof disposition) != 0;

    // The names inside, read through that handle (a second open of the
    // folder, as FindFirstFileW makes, would have to share the right to
    // delete it).
    std::vector<std::wstring> names;
    std::vector<ULONGLONG> buffer(2048);  // 16 KiB, aligned as the entries need
    FILE_INFO_BY_HANDLE_CLASS request = FileFullDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder.get(), request, buffer.data(),
                                        static_cast<DWORD>(buffer.size() * sizeof buffer[0]))) {
        request = FileFullDirectoryInfo;
        for (auto* at = reinterpret_cast<BYTE*>(buffer.data());;) {
            auto* entry = reinterpret_cast<FILE_FULL_DIR_INFO*>(at);
            std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") names.push_back(std::move(name));
            if (entry->NextEntryOffset == 0) break;
            at += entry->NextEntryOffset;
        }
    }
    if (GetLastError() != ERROR_NO_MORE_FILES) return false;

    // The tests' marker goes last: a folder that cannot be emptied stays
    // the tests' own, for the next run to try again.
    DWORD error = ERROR_SUCCESS;  // the first that kept something inside
    bool marked = false;
    for (const std::wstring& name : names) {
        if (name == marker_name) {
            marked = true;
            continue;
        }
        if (!remove_path(path + L"\\" + name) && error == ERROR_SUCCESS) error = GetLastError();
    }
    if (marked && error == ERROR_SUCCESS && !remove_path(path + L"\\" + marker_name))
        error = GetLastError();
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return false;
    }
    // Through the handle held since the start: the folder that was emptied.
    return SetFileInformationByHandle(folder.get(), FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// The security a folder of the tests outside the bundle is made with, and
// that everything made inside it inherits: owned by the Administrators group,
// with a DACL of its own that takes nothing from the folder above (at the
// root of C:, Authenticated Users may make folders, and the folders made
// there give them the right to change what is inside): SYSTEM and
// Administrators full control, Users read and execute (a test runs programs
// from there with the Administrators group denied), nobody else anything.
inline constexpr wchar_t protected_folder_security[] =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// Makes the folder `path` with that security; false, with the platform's code
// as the last error, when it cannot (ERROR_ALREADY_EXISTS when something is
// there already: nothing that is there is ever taken over).
inline bool make_protected_folder(const std::wstring& path) {
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            protected_folder_security, SDDL_REVISION_1, &security.lpSecurityDescriptor, nullptr))
        return false;
    BOOL made = CreateDirectoryW(long_form(path).c_str(), &security);
    DWORD error = GetLastError();
    LocalFree(security.lpSecurityDescriptor);
    SetLastError(error);
    return made != 0;
}

// Gives the folder at `path`, which is there already, the security that
// make_protected_folder gives a new one, through a handle to the folder
// itself (never what a link points to). A folder an earlier run made may
// carry another DACL (an older version's, or one an administrator changed
// since), and is used only with this one. Nothing inside is touched: what a
// test uses inside is made fresh, and inherits it. False, with the
// platform's code as the last error, when it cannot be given.
inline bool protect_folder(const std::wstring& path) {
    detail::OwnedHandle folder(CreateFileW(
        long_form(path).c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION opened{};
    if (!folder.valid() || !GetFileInformationByHandle(folder.get(), &opened)) return false;
    if (detail::is_link(opened.dwFileAttributes) ||
        (opened.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        SetLastError(ERROR_DIRECTORY);
        return false;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            protected_folder_security, SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    // The kernel's own call: SetSecurityInfo would also walk everything
    // inside to pass the new entries on.
    BOOL given = SetKernelObjectSecurity(folder.get(),
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                             PROTECTED_DACL_SECURITY_INFORMATION,
                                         descriptor);
    DWORD error = GetLastError();
    LocalFree(descriptor);
    SetLastError(error);
    return given != 0;
}

inline std::wstring bundle_file(const std::wstring& relative);

namespace detail {

inline bool is_well_known(PSID sid, WELL_KNOWN_SID_TYPE type) {
    BYTE known[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof known;
    return CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(sid, known);
}

// The accounts that an allowed entry of `dacl` lets change what it guards:
// write to it, delete it, or change its permissions or owner.
inline std::vector<PSID> accounts_that_may_change(PACL dacl) {
    constexpr ACCESS_MASK changing = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                     FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE |
                                     WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    std::vector<PSID> accounts;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&header)) ||
            header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        auto* entry = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        if ((entry->Mask & changing) != 0) accounts.push_back(&entry->SidStart);
    }
    return accounts;
}

// Whether `sid` is the account this process runs as.
inline bool is_caller(PSID sid) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    bool own = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
               EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    CloseHandle(token);
    return own;
}

}  // namespace detail

// What this platform keeps of a file's security, asked once per process with
// a file of the bundle's own (in work\) made with the owner Administrators
// and a protected DACL. Windows keeps both. Wine keeps neither: it reports
// the prefix's user as every file's owner, whatever was given, and makes a
// DACL up from the host file's mode.
struct PlatformSecurity {
    // The owner and the DACL's protection read back as given.
    bool kept = false;
    // The owner reads back as the account this process runs as.
    bool owner_is_caller = false;
    // What was read back, in SDDL (or why nothing was), for a reason.
    std::wstring read_back;
};

inline const PlatformSecurity& platform_security() {
    static const PlatformSecurity answer = [] {
        PlatformSecurity security;
        CreateDirectoryW(long_form(bundle_file(L"work")).c_str(), nullptr);
        std::wstring probe =
            bundle_file(L"work\\security probe " + std::to_wstring(GetCurrentProcessId()));
        SECURITY_ATTRIBUTES given{sizeof given, nullptr, FALSE};
        ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"O:BAD:P(A;;FA;;;BA)", SDDL_REVISION_1, &given.lpSecurityDescriptor, nullptr);
        detail::OwnedHandle file(CreateFileW(long_form(probe).c_str(), READ_CONTROL | DELETE, 0,
                                             &given, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE,
                                             nullptr));
        DWORD error = file.valid() ? ERROR_SUCCESS : GetLastError();
        LocalFree(given.lpSecurityDescriptor);
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (error == ERROR_SUCCESS)
            error = GetSecurityInfo(file.get(), SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                    &owner, nullptr, nullptr, nullptr, &descriptor);
        wchar_t* text = nullptr;
        if (error != ERROR_SUCCESS) {
            security.read_back = L"nothing (error " + std::to_wstring(error) + L")";
        } else if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
                       descriptor, SDDL_REVISION_1,
                       OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr)) {
            security.read_back = text;
            LocalFree(text);
        }
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        if (owner != nullptr && GetSecurityDescriptorControl(descriptor, &control, &revision)) {
            security.kept = detail::is_well_known(owner, WinBuiltinAdministratorsSid) &&
                            (control & SE_DACL_PROTECTED) != 0;
            security.owner_is_caller = detail::is_caller(owner);
        }
        LocalFree(descriptor);
        return security;
    }();
    return answer;
}

namespace detail {

// Whether `sid` is an owner that a standard user cannot give a file or a
// folder: the Administrators group or SYSTEM. The account running the tests
// counts too only where the platform reports it as every file's owner (Wine).
// On Windows an administrator's process that is not elevated owns what it
// makes: it could make the folder, its marker and a DACL of its choosing,
// and swap the programs that the tests then run as LocalSystem.
inline bool is_trusted_owner(PSID sid) {
    return is_well_known(sid, WinBuiltinAdministratorsSid) ||
           is_well_known(sid, WinLocalSystemSid) ||
           (is_caller(sid) && platform_security().owner_is_caller);
}

// An account as a person reads it: DOMAIN\name, or the SID's text.
inline std::wstring account_text(PSID sid) {
    wchar_t name[256], domain[256];
    DWORD name_size = 256, domain_size = 256;
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use))
        return domain_size > 0 ? std::wstring(domain) + L"\\" + name : std::wstring(name);
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return L"an unknown account";
    std::wstring out = text;
    LocalFree(text);
    return out;
}

// Why the file or folder at `full` (a long form; a link as itself, never
// what it points to) has no owner that is_trusted_owner trusts, as the end of
// a sentence that names it; empty when it has one.
inline std::wstring untrusted_owner(const std::wstring& full) {
    OwnedHandle handle(CreateFileW(full.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                   nullptr));
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = handle.valid() ? GetSecurityInfo(handle.get(), SE_FILE_OBJECT,
                                                   OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                                   nullptr, nullptr, &descriptor)
                                 : GetLastError();
    if (error != ERROR_SUCCESS)
        return L"has an owner that cannot be read (error " + std::to_wstring(error) + L")";
    std::wstring why;
    if (owner == nullptr || !is_trusted_owner(owner))
        why = L"is owned by " + (owner ? account_text(owner) : std::wstring(L"nobody"));
    LocalFree(descriptor);
    return why;
}

}  // namespace detail

// Whether the marker is at `path`: a file, not a folder or a link.
inline bool is_marker(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(long_form(path).c_str());
    return attributes != detail::no_such_entry && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
           !detail::is_link(attributes);
}

using vek::bundle::FolderCheck;

// A folder is the tests' own only when it is a folder (not a link to one),
// holds the marker as a file, and both are owned by an account that a
// standard user cannot give them (is_trusted_owner): a marker alone is
// something anyone who can make the folder can make too.
inline FolderCheck check_folder(const std::wstring& folder) {
    auto foreign = [](const std::wstring& why) {
        return FolderCheck{FolderCheck::foreign, utf8(why)};
    };
    std::wstring full = long_form(folder);
    DWORD attributes = GetFileAttributesW(full.c_str());
    if (attributes == detail::no_such_entry) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return {FolderCheck::missing, {}};
        return foreign(L"cannot be read (error " + std::to_wstring(error) + L")");
    }
    if (detail::is_link(attributes)) return foreign(L"is a link");
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return foreign(L"is a file");
    std::wstring marker = full + L"\\" + marker_name;
    if (!is_marker(marker)) return foreign(L"holds no " + std::wstring(marker_name));
    if (std::wstring why = detail::untrusted_owner(full); !why.empty()) return foreign(why);
    if (std::wstring why = detail::untrusted_owner(marker); !why.empty())
        return foreign(L"holds a " + std::wstring(marker_name) + L" that " + why);
    return {FolderCheck::tests_own, {}};
}

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

// Where the package puts the programs.
inline std::wstring deployment_folder() { return program_files_folder() + L"\\Vek System Service"; }

inline std::vector<std::wstring> test_folders() {
    return {scenarios_root, deployment_folder()};
}

}  // namespace vek::windows_test
