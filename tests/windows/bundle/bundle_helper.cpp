// bundle-helper.exe: the test bundle's runner (run-tests.cmd only starts
// it), the same under Windows' cmd and Wine's. What it judges is in
// runner.cpp; this is how it asks the platform.
//
//   bundle-helper run-tests     the whole run (see runner.h): exit 0 when
//                               nothing failed, 1 when something did, 2 when
//                               the run could not start
//   bundle-helper start-clean   refuses (exit 1, saying why, changing
//                               nothing) while a service or folder the
//                               tests use is there and is not the tests'
//                               own; otherwise removes what an interrupted
//                               run left (exit 0, or 3 when some of it
//                               could not be)
//   bundle-helper finish        reports what a run left outside the bundle,
//                               one line each, removes what is the tests'
//                               own, and exits with the number of leftovers
//
// Any other exit code (2 for a wrong command line, or a crash) is a failure
// of the helper.
#include "runner.h"
#include "support/bundle.h"
#include "support/process.h"
#include "support/text.h"

#include <shellapi.h>

#include <cwchar>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace vek::windows_test;
namespace windows_test = vek::windows_test;

// A line on standard output: to a console as its own text, anywhere else
// (a pipe, a file) in UTF-8.
void say_wide(const std::wstring& line) {
    std::wstring text = line + L"\r\n";
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    std::string bytes = utf8(text);
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
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

// Whether `sid` may change the bundle's programs as freely as they run:
// SYSTEM, Administrators, TrustedInstaller, or CREATOR OWNER (which stands
// for whoever makes something inside, and so already could).
bool is_administrative(PSID sid) {
    for (WELL_KNOWN_SID_TYPE type :
         {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinCreatorOwnerSid})
        if (detail::is_well_known(sid, type)) return true;
    PSID installer = nullptr;
    if (!ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                                &installer))
        return false;
    bool same = EqualSid(sid, installer);
    LocalFree(installer);
    return same;
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
    return 20 * 60 * 1000;
}

class WindowsHost final : public vek::bundle::Host {
public:
    void say(const std::string& line) override { say_wide(wide(line)); }

    bool is_administrator() override {
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        PSID administrators = nullptr;
        if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                      0, 0, 0, 0, 0, 0, &administrators))
            return false;
        BOOL member = FALSE;
        if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
        FreeSid(administrators);
        return member != FALSE;
    }

    // Warns when others than administrators can change the bundle's folder: its
    // programs run as an administrator, and the service programs it registers
    // as LocalSystem. Asks the owner and the DACL's entries, those passed on to
    // what is inside included; a deny entry is not weighed against them (a
    // warning too many is a line, one too few is a machine).
    void check_bundle() override {
        std::wstring bundle = windows_test::bundle_root();
        if (!platform_security().kept) {
            say_wide(
                L"run-tests: who may change " + bundle +
                L" cannot be told here: this platform "
                L"does not keep a file's owner and permissions (given Administrators, one reads "
                L"back as " +
                platform_security().read_back + L").");
            return;
        }
        detail::OwnedHandle folder(
            CreateFileW(long_form(bundle).c_str(), READ_CONTROL,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        PSID owner = nullptr;
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        DWORD error = folder.valid()
                          ? GetSecurityInfo(folder.get(), SE_FILE_OBJECT,
                                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                            &owner, nullptr, &dacl, nullptr, &descriptor)
                          : GetLastError();
        if (error != ERROR_SUCCESS) {
            say_wide(L"run-tests: WARNING: the permissions of " + bundle +
                     L" cannot be read (error " + std::to_wstring(error) + L").");
            return;
        }
        std::wstring who;
        auto add = [&who](const std::wstring& account) {
            if (who.find(account) == std::wstring::npos)
                who += (who.empty() ? L"" : L", ") + account;
        };
        // The owner may always change the permissions.
        if (owner != nullptr && !is_administrative(owner))
            add(detail::account_text(owner) + L" (its owner)");
        if (dacl == nullptr) add(L"Everyone (it has no DACL)");
        for (PSID sid : detail::accounts_that_may_change(dacl))
            if (!is_administrative(sid)) add(detail::account_text(sid));
        LocalFree(descriptor);
        if (!who.empty())
            say_wide(
                L"run-tests: WARNING: " + who + L" can change " + bundle +
                L", whose programs "
                L"run as an administrator and as LocalSystem. Unpack the bundle into a folder that "
                L"only administrators can write to, such as one below C:\\Program Files.");
    }

    std::string bundle_root() override { return utf8(windows_test::bundle_root()); }
    bool bundle_marked() override { return is_marker(bundle_file(marker_name)); }
    std::vector<std::string> test_folders() override {
        std::vector<std::string> folders;
        for (const std::wstring& folder : windows_test::test_folders())
            folders.push_back(utf8(folder));
        return folders;
    }
    FolderCheck check_folder(const std::string& folder) override {
        return windows_test::check_folder(wide(folder));
    }
    unsigned long remove_folder(const std::string& folder) override {
        return remove_path(wide(folder)) ? 0 : GetLastError();
    }
    // Where a registered service's program lies, from the command line the
    // manager keeps; none when it is not registered.
    std::optional<std::string> service_program(const std::string& name) override {
        Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        Handle service(OpenServiceW(manager.get(), wide(name).c_str(), SERVICE_QUERY_CONFIG));
        if (service.get() == nullptr) {
            if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return std::nullopt;
            return std::string();
        }
        DWORD needed = 0;
        QueryServiceConfigW(service.get(), nullptr, 0, &needed);
        std::wstring buffer(needed / sizeof(wchar_t) + 1, L'\0');
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (!QueryServiceConfigW(service.get(), config, needed, &needed) ||
            config->lpBinaryPathName == nullptr)
            return std::string();
        std::string command_line = utf8(config->lpBinaryPathName);
        if (command_line.starts_with('"'))
            return command_line.substr(1, command_line.find('"', 1) - 1);
        return command_line;
    }

    // Deletes first, then stops: a stopped automatic-start service may be
    // started again by the manager before the deletion, a deleted one goes the
    // moment it stops. Waits until the manager has let go of it.
    bool remove_service(const std::string& utf8_name) override {
        std::wstring name = wide(utf8_name);
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
            if (still.get() == nullptr && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
                return true;
            Sleep(100);
        }
        return false;
    }
    std::string full_path(const std::string& path) override {
        std::wstring given = wide(path);
        DWORD size = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
        std::wstring full(size, L'\0');
        DWORD length = size ? GetFullPathNameW(given.c_str(), size, full.data(), nullptr) : 0;
        if (length == 0 || length >= size) return {};
        full.resize(length);
        return utf8(full);
    }
    bool same_name(std::string_view a, std::string_view b) override {
        std::wstring x = wide(a), y = wide(b);
        return CompareStringOrdinal(x.data(), static_cast<int>(x.size()), y.data(),
                                    static_cast<int>(y.size()), TRUE) == CSTR_EQUAL;
    }
    std::optional<std::vector<std::string>> program_names() override {
        std::optional<std::string> list = file_content(bundle_file(L"tests\\test-programs.txt"));
        if (!list) return std::nullopt;
        std::vector<std::string> names;
        std::size_t at = 0;
        while (at < list->size()) {
            std::size_t end = list->find('\n', at);
            if (end == std::string::npos) end = list->size();
            std::string name = list->substr(at, end - at);
            if (name.ends_with('\r')) name.pop_back();
            if (!name.empty()) names.push_back(name);
            at = end + 1;
        }
        return names;
    }

    // With the bundle's folder as the current one, so that the report is
    // named by a relative path: GoogleTest opens it by a narrow name, which
    // the bundle's own path (any letter, in any code page) may not have.
    vek::bundle::ProgramRun run_program(const std::string& utf8_name) override {
        using vek::bundle::ProgramRun;
        std::wstring name = wide(utf8_name);
        std::wstring program = bundle_file(L"tests\\" + name + L".exe");
        if (!exists(program)) return {ProgramRun::missing, 0, 0, std::nullopt};
        CreateDirectoryW(long_form(bundle_file(L"logs")).c_str(), nullptr);
        std::wstring report = L"logs\\" + name + L".xml";
        // One an earlier run left must not count for this one.
        DeleteFileW(long_form(bundle_file(report)).c_str());
        detail::OwnedHandle log(
            CreateFileW(long_form(bundle_file(L"logs\\" + name + L".log")).c_str(), GENERIC_WRITE,
                        FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ProcessOptions options;
        options.arguments = quote_argument(L"--gtest_output=xml:" + report);
        options.directory = windows_test::bundle_root();
        options.in = Stream::inherited;
        options.output_file = log.valid() ? log.get() : nullptr;
        options.console = ProcessOptions::Console::inherited;
        options.time_limit_ms = time_limit_ms();
        // What would run only some tests, or some several times, is not this
        // run's: every test runs once.
        for (const wchar_t* variable :
             {L"GTEST_FILTER", L"GTEST_ALSO_RUN_DISABLED_TESTS", L"GTEST_REPEAT",
              L"GTEST_FAIL_FAST", L"GTEST_SHARD_INDEX", L"GTEST_TOTAL_SHARDS",
              L"GTEST_SHARD_STATUS_FILE", L"GTEST_OUTPUT"})
            options.environment.emplace_back(variable, std::nullopt);
        ProcessResult result = run_process(program, options);
        if (!result.started) return {ProgramRun::not_started, 0, result.start_error, std::nullopt};
        if (result.timed_out) return {ProgramRun::timed_out, result.exit_code, 0, std::nullopt};
        return {ProgramRun::ended, result.exit_code, 0, file_content(bundle_file(report))};
    }

};

}  // namespace

int main() {
    // The command line as Windows gives it, in UTF-16.
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::wstring command = argc == 2 ? argv[1] : L"";
    WindowsHost host;
    if (command == L"run-tests") return vek::bundle::run_tests(host);
    if (command == L"start-clean") return vek::bundle::start_clean(host);
    if (command == L"finish") return vek::bundle::finish(host);
    say_wide(L"usage: bundle-helper run-tests | start-clean | finish");
    return 2;
}
