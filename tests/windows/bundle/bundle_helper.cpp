// bundle-helper.exe: what run-tests.cmd cannot ask the platform itself, the
// same way under Windows' cmd and Wine's.
//
//   bundle-helper is-administrator   exit 0 when this process runs with the
//                                    Administrators group enabled, 1 when not
//   bundle-helper check-bundle       exit 0, warning first when others than
//                                    administrators can change the bundle's
//                                    own folder
//   bundle-helper start-clean        refuses (exit 1, saying why, changing
//                                    nothing) while any service or folder
//                                    the tests use is there and is not the
//                                    tests' own; otherwise removes what an
//                                    interrupted earlier run left (exit 0,
//                                    or 3 when some of it could not be)
//   bundle-helper run PROGRAM FILE   runs PROGRAM with this helper's standard
//                                    streams and gives its exit code; one that
//                                    has not ended within the time limit (10
//                                    minutes, or VEK_TEST_TIME_LIMIT seconds)
//                                    is ended with everything it started, FILE
//                                    is written to say so, and the exit code
//                                    is 1460 (ERROR_TIMEOUT)
//   bundle-helper finish             reports everything the run left
//                                    outside the bundle, one line each
//                                    (services, folders), removes what is
//                                    the tests' own, and exits with the
//                                    number of leftovers
//
// The tests' own: a folder the tests make (C:\vek-scenarios, the deployment
// folder) while check_folder() finds it theirs (a folder, not a link,
// holding the tests' marker as a file, both with an owner no standard user
// can give them), and a service whose program lies below such a folder or
// below the bundle's own folder. A marker in any other folder counts for
// nothing, and anything else is never touched. Any other exit
// code (2 for a wrong command line, or a crash) is a failure of the helper,
// which run-tests.cmd reports as such.
#include "support/bundle.h"

#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

using namespace vek::windows_test;

void say(const std::wstring& line) {
    std::wstring text = line + L"\r\n";
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        nullptr, nullptr);
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// Writes `text` to the file at `path` (as given: run-tests.cmd names files
// relative to the bundle), replacing it; whether it could.
bool write_file(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool wrote = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return wrote;
}

// Whether `path` lies below `folder` (both full paths, compared as Windows
// compares names: without regard to case).
bool lies_below(const std::wstring& path, const std::wstring& folder) {
    return path.size() > folder.size() + 1 && path[folder.size()] == L'\\' &&
           CompareStringOrdinal(path.data(), static_cast<int>(folder.size()), folder.data(),
                                static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL;
}

// Whether a service's program at `program` is the tests' own: below one of
// the folders the tests make while check_folder() finds it theirs, or below
// this bundle's own folder, which holds the marker (whoever can change that
// folder can change this helper too, so its owner decides nothing; the run
// warns when others than administrators can). Never below any other
// folder, whatever marker it holds: a standard user may put one in
// C:\ProgramData, which SYSTEM owns.
bool is_tests_own_program(const std::wstring& program) {
    // The path as the system resolves it: ".." taken away, and without the
    // \\?\ prefix, as the folders are named. A relative one (the manager
    // takes it from the system folder) is no folder's of the tests.
    std::wstring path = program.starts_with(L"\\\\?\\") ? program.substr(4) : program;
    if (path.size() < 3 || path[1] != L':' || path[2] != L'\\') return false;
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    DWORD length = size ? GetFullPathNameW(path.c_str(), size, full.data(), nullptr) : 0;
    if (length == 0 || length >= size) return false;
    full.resize(length);
    for (const std::wstring& folder : test_folders())
        if (lies_below(full, folder) && check_folder(folder).state == FolderCheck::tests_own)
            return true;
    // Not when the bundle lies at the root of a drive: then everything would.
    std::wstring bundle = bundle_root();
    return bundle.find(L'\\') != std::wstring::npos && lies_below(full, bundle) &&
           is_marker(bundle + L"\\" + marker_name);
}

class Handle {
public:
    explicit Handle(SC_HANDLE handle) : handle_(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (handle_ != nullptr) CloseServiceHandle(handle_);
    }
    SC_HANDLE get() const { return handle_; }

private:
    SC_HANDLE handle_;
};

struct Service {
    bool registered = false;
    // Where its program lies, from the command line the manager keeps.
    std::wstring program;
};

Service look_up(const std::wstring& name) {
    Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    Handle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG));
    if (service.get() == nullptr) return {GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST, {}};
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::wstring buffer(needed / sizeof(wchar_t) + 1, L'\0');
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.get(), config, needed, &needed) ||
        config->lpBinaryPathName == nullptr)
        return {true, {}};
    std::wstring command_line = config->lpBinaryPathName;
    if (command_line.starts_with(L'"')) return {true, command_line.substr(1, command_line.find(L'"', 1) - 1)};
    return {true, command_line};
}

// Deletes first, then stops: a stopped automatic-start service may be
// started again by the manager before the deletion, a deleted one goes the
// moment it stops. Waits until the manager has let go of it.
bool remove_service(const std::wstring& name) {
    Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    {
        Handle service(OpenServiceW(manager.get(), name.c_str(),
                                    DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
        if (service.get() == nullptr) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        DeleteService(service.get());
        SERVICE_STATUS status{};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    }
    for (int waited = 0; waited < 600; ++waited) {
        Handle still(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
        if (still.get() == nullptr && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return true;
        Sleep(100);
    }
    return false;
}

int is_administrator() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators))
        return 1;
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
    FreeSid(administrators);
    return member ? 0 : 1;
}

int start_clean() {
    // Everything is judged before anything is removed: a refusal changes
    // nothing.
    bool refused = false;
    for (const std::wstring& name : test_services()) {
        Service service = look_up(name);
        if (service.registered && !is_tests_own_program(service.program)) {
            say(L"A service named " + name + L" is registered on this machine (its program: " +
                service.program + L").");
            say(L"These tests create and delete that service, and will not touch one they did "
                L"not make: run them on a machine without it, such as a throw-away virtual "
                L"machine.");
            refused = true;
        }
    }
    for (const std::wstring& folder : test_folders()) {
        FolderCheck check = check_folder(folder);
        if (check.state == FolderCheck::foreign) {
            say(L"The folder " + folder + L" exists and " + check.why +
                L": it was not made by these tests, which make and remove it. Run them on a "
                L"machine without it.");
            refused = true;
        }
    }
    if (refused) return 1;

    int status = 0;
    for (const std::wstring& name : test_services()) {
        if (!look_up(name).registered) continue;
        say(L"Removing the service " + name + L", left by an earlier run of these tests.");
        if (!remove_service(name)) {
            say(L"Could not remove the service " + name + L".");
            status = 3;
        }
    }
    for (const std::wstring& folder : test_folders()) {
        if (check_folder(folder).state == FolderCheck::missing) continue;
        say(L"Removing " + folder + L", left by an earlier run of these tests.");
        if (!remove_path(folder)) {
            say(L"Could not remove " + folder + L": error " + std::to_wstring(GetLastError()) +
                L".");
            status = 3;
        }
    }
    return status;
}

int finish() {
    int leftovers = 0;
    for (const std::wstring& name : test_services()) {
        Service service = look_up(name);
        if (!service.registered) continue;
        ++leftovers;
        say(L"LEFT BEHIND: the service " + name);
        if (!is_tests_own_program(service.program))
            say(L"  left registered: its program (" + service.program +
                L") lies outside the folders these tests make");
        else if (!remove_service(name))
            say(L"  and it could not be removed");
    }
    for (const std::wstring& folder : test_folders()) {
        FolderCheck check = check_folder(folder);
        if (check.state == FolderCheck::missing) continue;
        ++leftovers;
        say(L"LEFT BEHIND: the folder " + folder);
        if (check.state == FolderCheck::foreign)
            say(L"  left as it is: it " + check.why);
        else if (!remove_path(folder))
            say(L"  and it could not be removed");
    }
    // The bundle's own scratch goes as well; it is not a leftover.
    remove_path(bundle_file(L"work"));
    return leftovers;
}

// Whether `sid` may change the bundle's programs as freely as they run:
// SYSTEM, Administrators, TrustedInstaller, or CREATOR OWNER (which stands
// for whoever makes something inside, and so already could).
bool is_administrative(PSID sid) {
    for (WELL_KNOWN_SID_TYPE type :
         {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinCreatorOwnerSid})
        if (detail::is_well_known(sid, type)) return true;
    PSID installer = nullptr;
    if (!ConvertStringSidToSidW(
            L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &installer))
        return false;
    bool same = EqualSid(sid, installer);
    LocalFree(installer);
    return same;
}

// Warns when others than administrators can change the bundle's folder: its
// programs run as an administrator, and the service programs it registers
// as LocalSystem. Asks the owner and the DACL's entries, those passed on to
// what is inside included; a deny entry is not weighed against them (a
// warning too many is a line, one too few is a machine).
int check_bundle() {
    std::wstring bundle = bundle_root();
    if (!platform_security().kept) {
        say(L"run-tests: who may change " + bundle + L" cannot be told here: this platform "
            L"does not keep a file's owner and permissions (given Administrators, one reads "
            L"back as " + platform_security().read_back + L").");
        return 0;
    }
    detail::FileHandle folder(CreateFileW(
        long_form(bundle).c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = folder.valid() ? GetSecurityInfo(folder.get(), SE_FILE_OBJECT,
                                                   OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                                   &owner, nullptr, &dacl, nullptr, &descriptor)
                                 : GetLastError();
    if (error != ERROR_SUCCESS) {
        say(L"run-tests: WARNING: the permissions of " + bundle + L" cannot be read (error " +
            std::to_wstring(error) + L").");
        return 0;
    }
    std::wstring who;
    auto add = [&who](const std::wstring& account) {
        if (who.find(account) == std::wstring::npos) who += (who.empty() ? L"" : L", ") + account;
    };
    // The owner may always change the permissions.
    if (owner != nullptr && !is_administrative(owner)) add(detail::account_text(owner) + L" (its owner)");
    if (dacl == nullptr) add(L"Everyone (it has no DACL)");
    constexpr ACCESS_MASK changing = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                     FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE |
                                     WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&header)) ||
            header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        auto* entry = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        PSID sid = &entry->SidStart;
        if ((entry->Mask & changing) != 0 && !is_administrative(sid)) add(detail::account_text(sid));
    }
    LocalFree(descriptor);
    if (!who.empty())
        say(L"run-tests: WARNING: " + who + L" can change " + bundle + L", whose programs "
            L"run as an administrator and as LocalSystem. Unpack the bundle into a folder that "
            L"only administrators can write to, such as one below C:\\Program Files.");
    return 0;
}

// The time a test program may take: generous, as every wait in the tests is
// bounded well below it; VEK_TEST_TIME_LIMIT (seconds) sets another.
DWORD time_limit_ms() {
    wchar_t text[16];
    DWORD length = GetEnvironmentVariableW(L"VEK_TEST_TIME_LIMIT", text, 16);
    if (length > 0 && length < 6) {
        wchar_t* end = nullptr;
        unsigned long seconds = std::wcstoul(text, &end, 10);
        if (*end == L'\0' && seconds > 0) return static_cast<DWORD>(seconds * 1000);
    }
    return 10 * 60 * 1000;
}

int run(const std::wstring& program, const std::wstring& timed_out_file) {
    DeleteFileW(timed_out_file.c_str());
    // Everything the program starts goes into one job, ended with it; a job
    // that cannot be had (one this process is in already refuses it on
    // some systems) leaves the program alone to be ended.
    detail::FileHandle job(CreateJobObjectW(nullptr, nullptr));
    if (job.valid()) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                sizeof limits);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring command_line = L"\"" + program + L"\"";
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED, nullptr, nullptr, &startup, &process)) {
        say(L"bundle-helper: " + program + L" cannot be started: error " +
            std::to_wstring(GetLastError()));
        return 2;
    }
    detail::FileHandle process_handle(process.hProcess);
    detail::FileHandle thread_handle(process.hThread);
    bool in_job = job.valid() && AssignProcessToJobObject(job.get(), process.hProcess);
    ResumeThread(process.hThread);

    DWORD limit = time_limit_ms();
    if (WaitForSingleObject(process.hProcess, limit) != WAIT_OBJECT_0) {
        if (!in_job || !TerminateJobObject(job.get(), ERROR_TIMEOUT))
            TerminateProcess(process.hProcess, ERROR_TIMEOUT);
        WaitForSingleObject(process.hProcess, 60 * 1000);
        std::string seconds = std::to_string(limit / 1000);
        write_file(timed_out_file, "not ended within " + seconds + " seconds\r\n");
        say(L"bundle-helper: ended " + program + L", which had not ended within " +
            std::to_wstring(limit / 1000) + L" seconds");
        return ERROR_TIMEOUT;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    return static_cast<int>(code);
}

}  // namespace

int main() {
    // The command line as Windows gives it, in UTF-16: the programs' paths
    // may hold any letter.
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::wstring command = argc >= 2 ? argv[1] : L"";
    if (argc == 2 && command == L"is-administrator") return is_administrator();
    if (argc == 2 && command == L"check-bundle") return check_bundle();
    if (argc == 2 && command == L"start-clean") return start_clean();
    if (argc == 4 && command == L"run") return run(argv[2], argv[3]);
    if (argc == 2 && command == L"finish") return finish();
    say(L"usage: bundle-helper is-administrator | check-bundle | start-clean | run PROGRAM FILE | "
        L"finish");
    return 2;
}
