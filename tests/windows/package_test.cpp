// The Windows Installer package as fleet tools run it, msiexec with /qn,
// against the platform's own engine, Program Files and service manager. The
// tests run in order, each on the state the last left. The packages: the
// shipped one (or one built as it is, from the sample service), a newer one
// whose programs have a higher file version, an older one, and a newer one
// whose service program never starts (it is no service).
#include "support/child_process.h"
#include "support/folders.h"
#include "support/service_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <cwchar>
#include <cwctype>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vek::windows_test {
namespace {

using ::testing::HasSubstr;

struct Package {
    const wchar_t* file;  // below the bundle
    const wchar_t* version;
    const wchar_t* code;
};
const Package base{VEK_PACKAGE_BASE, VEK_VERSION_BASE, VEK_CODE_BASE};
const Package newer{L"tests/packages/newer.msi", VEK_VERSION_NEWER, VEK_CODE_NEWER};
const Package older{L"tests/packages/older.msi", VEK_VERSION_OLDER, VEK_CODE_OLDER};
const Package failing{L"tests/packages/failing.msi", VEK_VERSION_FAILING, VEK_CODE_FAILING};
const Package* const all_packages[] = {&base, &newer, &older, &failing};

std::wstring path_of(const Package& package) {
    std::wstring path = bundle_file(package.file);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

std::wstring folder() { return deployment_folder(); }
std::wstring program() { return folder() + L"\\" + service_file_name; }
// How the custom action logs the installer program's lines.
std::string program_line(const char* line) { return std::string("vek-system-service-setup.exe: ") + line; }

// Apps & features' entry of a product, "DisplayName DisplayVersion
// Publisher", or nothing when it is not listed.
std::optional<std::wstring> listed(const Package& package) {
    std::wstring key = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
    std::wstring entry;
    for (const wchar_t* name : {L"DisplayName", L"DisplayVersion", L"Publisher"}) {
        wchar_t data[512];
        DWORD size = sizeof data;
        if (RegGetValueW(HKEY_LOCAL_MACHINE, (key + package.code).c_str(), name,
                         RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, data, &size) != 0)
            return std::nullopt;
        entry += (entry.empty() ? L"" : L" ") + std::wstring(data);
    }
    return entry;
}

// The top-level console windows on the test's desktop, where a console
// program started as SYSTEM without CREATE_NO_WINDOW shows one.
std::vector<HWND> console_windows() {
    std::vector<HWND> found;
    EnumWindows(
        [](HWND window, LPARAM into) {
            wchar_t name[64] = {};
            GetClassNameW(window, name, 64);
            if (std::wstring(name) == L"ConsoleWindowClass")
                reinterpret_cast<std::vector<HWND>*>(into)->push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

// Whether the Application event log holds an MsiInstaller event `id`
// written since `since` (seconds since 1970) whose text holds `text`.
bool logged_event(DWORD id, DWORD since, const std::wstring& text) {
    HANDLE log = OpenEventLogW(nullptr, L"Application");
    if (log == nullptr) return false;
    std::vector<BYTE> buffer(0x10000);
    DWORD got = 0, needed = 0;
    bool found = false;
    while (!found && ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0,
                                   buffer.data(), static_cast<DWORD>(buffer.size()), &got, &needed)) {
        for (DWORD at = 0; at < got && !found;) {
            const auto* event = reinterpret_cast<const EVENTLOGRECORD*>(buffer.data() + at);
            if (event->TimeGenerated < since) break;
            const auto* strings = reinterpret_cast<const wchar_t*>(
                reinterpret_cast<const BYTE*>(event) + event->StringOffset);
            std::wstring all;
            for (WORD i = 0; i < event->NumStrings; ++i, strings += wcslen(strings) + 1) all += strings;
            found = (event->EventID & 0xFFFF) == id && all.find(text) != std::wstring::npos;
            at += event->Length;
        }
    }
    CloseEventLog(log);
    return found;
}

// Whether the engine holds its mutex, which a second msiexec finds and
// answers with 1618. (Access to it may be denied: then it is there too.)
bool engine_busy() {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\_MSIExecute");
    if (mutex != nullptr) CloseHandle(mutex);
    return mutex != nullptr || GetLastError() == ERROR_ACCESS_DENIED;
}

class WindowsInstallerPackage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        work_ = scenario_folder(L"package");
    }

    // It will not touch a folder, a service or a product it did not make.
    void SetUp() override {
        if (!checked_) {
            ASSERT_FALSE(exists(folder())) << utf8(folder()) << " exists: refusing to run";
            ASSERT_FALSE(is_registered()) << "the service is registered: refusing to run";
            for (const Package* package : all_packages)
                ASSERT_FALSE(listed(*package)) << utf8(package->code) << " is installed";
            checked_ = owns_ = true;
        }
        ASSERT_TRUE(owns_);
        // Each test goes on from the state the last left, which a hung
        // msiexec leaves unknown; the clean-up below still runs.
        ASSERT_FALSE(hung_) << "an earlier msiexec did not end: not run";
    }

    static void TearDownTestSuite() {
        if (!owns_) return;
        for (const Package* package : all_packages)
            if (listed(*package)) msiexec(L"/x " + std::wstring(package->code), L"clean-up");
        remove_service();
        remove_tree(folder());
    }

    // msiexec quietly, with a verbose log of its own; its exit code. While
    // it runs, `watch` is called every few milliseconds. One that has not
    // ended after 6 minutes (an install waits for its custom action at most
    // 5) fails the test and is ended, well within the bundle's time limit
    // for the whole program, so that the clean-up still runs.
    static DWORD msiexec(const std::wstring& arguments, const std::wstring& log,
                         const std::function<void()>& watch = [] {}) {
        ProcessOptions options;
        options.arguments = arguments + L" /qn /l*v \"" + log_of(log) + L"\"";
        options.out = options.err = Stream::none;
        options.console = ProcessOptions::Console::inherited;
        options.time_limit_ms = 6 * 60 * 1000;
        options.watch = watch;
        ProcessResult run = run_process(system_program(L"msiexec.exe"), options);
        if (!run.started) ADD_FAILURE() << "cannot start msiexec: " << run.start_error;
        if (run.timed_out) {
            ADD_FAILURE() << "msiexec " << utf8(arguments) << " did not end within 6 minutes";
            hung_ = true;
        }
        return run.exit_code;
    }
    static DWORD install(const Package& package, const std::wstring& log,
                         const std::function<void()>& watch = [] {}) {
        return msiexec(L"/i \"" + path_of(package) + L"\"", log, watch);
    }
    // Wine's msi asks the service to stop and replaces or removes its
    // program without waiting for the stop (measured): under load the file
    // is still in use, and the install ends with 3010, the program left for
    // a restart. Windows Installer waits, 30 seconds at most (the slow stop
    // below). Under Wine the test stops the service first, as that wait would.
    static void stop_first_under_wine() {
        if (!under_wine()) return;
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, service_process_id());
        send_control(SERVICE_CONTROL_STOP);
        EXPECT_EQ(wait_for_state(SERVICE_STOPPED), static_cast<DWORD>(SERVICE_STOPPED));
        if (process == nullptr) return;
        WaitForSingleObject(process, 30000);
        CloseHandle(process);
    }
    // A repair of every file. Wine's msiexec takes /f with no package (1605,
    // measured): there the same repair is asked for by its properties.
    static DWORD repair(const std::wstring& log, const std::function<void()>& watch = [] {}) {
        const std::wstring package = L"\"" + path_of(base) + L"\"";
        return msiexec(under_wine() ? L"/i " + package + L" REINSTALL=ALL REINSTALLMODE=amus"
                                    : L"/fa " + package,
                       log, watch);
    }
    static std::wstring log_of(const std::wstring& name) { return work_ + L"\\" + name + L".log"; }
    // The verbose log as text (msiexec may write UTF-16).
    static std::string log_text(const std::wstring& name) {
        std::string text = file_content(log_of(name)).value_or("");
        std::erase(text, '\0');
        return text;
    }

    // Registered as the installer program registers it (the quoted path),
    // running, and listed in Apps & features as `package` alone.
    static void expect_installed(const Package& package) {
        expect_registration(installed_registration(L"\"" + program() + L"\""));
        EXPECT_EQ(wait_for_state(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
        const std::wstring entry = L"Vek System Service " + std::wstring(package.version) + L" Vek";
        for (const Package* other : all_packages)
            EXPECT_EQ(listed(*other), other == &package ? std::optional(entry) : std::nullopt)
                << utf8(other->code);
    }
    // Nothing of the product: no registration, no folder, nothing listed.
    static void expect_nothing() {
        EXPECT_FALSE(is_registered());
        EXPECT_FALSE(exists(folder()));
        for (const Package* package : all_packages) EXPECT_EQ(listed(*package), std::nullopt);
    }

    static inline std::wstring work_;
    static inline bool checked_ = false, owns_ = false, hung_ = false;
    static inline bool engine_mutex_ = false, console_window_ = false;
};

TEST_F(WindowsInstallerPackage, AFailedFirstInstallLeavesNothing) {
    const auto since = static_cast<DWORD>(time(nullptr));
    EXPECT_NE(install(failing, L"failed-install"), 0u);
    expect_nothing();
    // The program's lines, and its report as the package's error 25000.
    const std::string log = log_text(L"failed-install");
    EXPECT_THAT(log, HasSubstr(program_line("Creating service...")));
    EXPECT_THAT(log, HasSubstr("could not register or start the service vek-system-service "
                               "(exit code 1): Error: "));
    if (!under_wine())  // Wine's event log keeps nothing
        EXPECT_TRUE(logged_event(35000, since, L"could not register or start the service"));
}

TEST_F(WindowsInstallerPackage, InstallsRerunsAndRepairs) {
    const std::vector<HWND> consoles = console_windows();
    EXPECT_EQ(install(base, L"install",
                      [&] {
                          engine_mutex_ = engine_mutex_ || engine_busy();
                          for (HWND window : console_windows())
                              if (std::find(consoles.begin(), consoles.end(), window) == consoles.end())
                                  console_window_ = true;
                      }),
              0u);
    expect_installed(base);
    EXPECT_THAT(log_text(L"install"), HasSubstr(program_line("Service installed successfully.")));

    stop_first_under_wine();
    EXPECT_EQ(install(base, L"again"), 0u);
    expect_installed(base);

    // The engine stops the service to replace its files, and the installer
    // program starts it again.
    stop_first_under_wine();
    EXPECT_EQ(repair(L"repair"), 0u);
    expect_installed(base);
    EXPECT_THAT(log_text(L"repair"), HasSubstr(program_line("Service exists, starting...")));

    // An administrator disabled it: a repair replaces the files and leaves
    // it disabled and stopped.
    set_start_type(SERVICE_DISABLED);
    EXPECT_EQ(send_control(SERVICE_CONTROL_STOP), 0u);
    EXPECT_EQ(wait_for_state(SERVICE_STOPPED), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(repair(L"repair-disabled"), 0u);
    EXPECT_THAT(log_text(L"repair-disabled"),
                HasSubstr("vek-system-service is disabled: its program is in place, but it stays "
                          "disabled and is not started"));
    EXPECT_EQ(registration().value_or(Registration{}).start_type,
              static_cast<DWORD>(SERVICE_DISABLED));
    EXPECT_EQ(current_state(), static_cast<DWORD>(SERVICE_STOPPED));
    set_start_type(SERVICE_AUTO_START);
    EXPECT_EQ(install(base, L"enabled-again"), 0u);
    expect_installed(base);
}

// The installer program runs as SYSTEM: a console window of its own on the
// desktop could be turned into a SYSTEM process.
TEST_F(WindowsInstallerPackage, ShowsNoConsoleWindow) {
    if (under_wine())
        GTEST_SKIP() << "Wine shows no window of a console program's own (measured)";
    EXPECT_FALSE(console_window_) << "a console window appeared while msiexec installed";
}

// Windows asks for elevation before a repair runs a not-impersonated
// action for a caller without administrator rights; without a user
// interface (/qn) it cannot ask, and the repair is refused.
TEST_F(WindowsInstallerPackage, ARepairWithoutAdministratorRightsIsRefused) {
    if (under_wine()) GTEST_SKIP() << "Wine grants every caller administrator rights";
    const DWORD process = service_process_id();
    ChildOptions options;
    options.arguments = L"/fa " + std::wstring(base.code) + L" /qn";
    options.without_administrators = true;
    EXPECT_NE(run_child(system_program(L"msiexec.exe"), options).exit_code, 0u);
    EXPECT_EQ(service_process_id(), process);
}

TEST_F(WindowsInstallerPackage, ASecondMsiexecWhileOneRunsIsAskedToRetry) {
    if (!engine_mutex_)
        GTEST_SKIP() << "no _MSIExecute mutex was seen while msiexec installed "
                        "(Wine's msi has none)";
    // A stop of 15 seconds keeps the first one in its execute sequence.
    make_empty_file(folder() + L"\\vek-system-service.stop-slowly");
    std::optional<DWORD> second;
    EXPECT_EQ(repair(L"busy-first",
                     [&] {
                         if (!second && engine_busy()) second = install(base, L"busy-second");
                     }),
              0u);
    DeleteFileW(long_form(folder() + L"\\vek-system-service.stop-slowly").c_str());
    EXPECT_EQ(second, std::optional<DWORD>(ERROR_INSTALL_ALREADY_RUNNING));
    expect_installed(base);
}

TEST_F(WindowsInstallerPackage, AFailedUpgradeLeavesTheOldVersionRunning) {
    if (under_wine())
        GTEST_SKIP() << "Wine's msi does not restore replaced files when an install rolls back "
                        "(measured: the old program is gone and the service stopped)";
    std::string old_program = file_content(program()).value_or("");
    EXPECT_NE(install(failing, L"failed-upgrade"), 0u);
    expect_installed(base);
    EXPECT_TRUE(file_content(program()) == old_program);
}

TEST_F(WindowsInstallerPackage, RefusesAnOlderVersionAndUpgradesTheRunningService) {
    // (Before the upgrade: Wine's msi loses the product's upgrade code when
    // an upgrade removes the version it replaced, measured, and then finds
    // no newer version.)
    DWORD process = service_process_id();
    EXPECT_EQ(install(older, L"older"), static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    expect_installed(base);
    EXPECT_EQ(service_process_id(), process);
    // Wine's msiexec writes no launch condition's message to its log.
    if (!under_wine())
        EXPECT_THAT(log_text(L"older"), HasSubstr("A newer version of the Vek System Service"));

    stop_first_under_wine();
    EXPECT_EQ(install(newer, L"upgrade"), 0u);
    expect_installed(newer);
    EXPECT_NE(service_process_id(), process);
    // Both programs replaced (their file versions are higher).
    for (const wchar_t* name : {service_file_name, installer_file_name})
        EXPECT_TRUE(file_content(folder() + L"\\" + name).value_or("").ends_with(VEK_UPGRADE_TAIL))
            << utf8(name) << " was not replaced";
}

TEST_F(WindowsInstallerPackage, UninstallsWhetherTheServiceRunsWasStoppedOrDeleted) {
    struct Case {
        const char* name;
        std::function<void()> by_hand;
    } cases[] = {
        {"running", [] { stop_first_under_wine(); }},
        {"stopped by hand", [] {
             EXPECT_EQ(send_control(SERVICE_CONTROL_STOP), 0u);
             EXPECT_EQ(wait_for_state(SERVICE_STOPPED), static_cast<DWORD>(SERVICE_STOPPED));
         }},
        {"deleted by hand", [] { remove_service(); }},
    };
    const Package* installed = &newer;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (installed == nullptr) EXPECT_EQ(install(base, L"reinstall"), 0u);
        c.by_hand();
        const Package& product = installed ? *installed : base;
        EXPECT_EQ(msiexec(L"/x " + std::wstring(product.code), L"uninstall"), 0u);
        expect_nothing();
        installed = nullptr;
    }
}

// A registration from another folder is not the package's: the install is
// refused and changes nothing. One from its own folder, whatever the case of
// the path, is taken over.
TEST_F(WindowsInstallerPackage, TakesOverOnlyARegistrationFromItsOwnFolder) {
    const std::wstring elsewhere = scenario_folder(L"package (elsewhere)");
    copy_file(built_installer(), elsewhere + L"\\" + installer_file_name);
    copy_file(built_service(), elsewhere + L"\\" + service_file_name);
    std::wstring own = program();
    std::transform(own.begin(), own.end(), own.begin(), towlower);
    struct Case {
        const char* name;
        std::wstring program, arguments;
        DWORD expected;
    } cases[] = {
        {"by the installer program elsewhere", elsewhere + L"\\" + installer_file_name, L"",
         ERROR_INSTALL_FAILURE},
        {"by sc create elsewhere", system_program(L"sc.exe"),
         L"create vek-system-service binPath= \"" + elsewhere + L"\\" + service_file_name + L"\"",
         ERROR_INSTALL_FAILURE},
        {"by sc create from its own folder, in lower case", system_program(L"sc.exe"),
         L"create vek-system-service binPath= \"\\\"" + own + L"\\\"\"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ChildOptions options;
        options.arguments = c.arguments;
        EXPECT_EQ(run_child(c.program, options).exit_code, 0u);
        std::optional<Registration> registered = registration();
        // A failed install's rollback deletes only a registration it made.
        if (c.expected == 0) {
            EXPECT_NE(install(failing, L"failed-over-own"), 0u);
            if (registered) expect_registration(*registered);
        }
        EXPECT_EQ(install(base, L"registered"), c.expected);
        if (registered) expect_registration(*registered);
        EXPECT_EQ(listed(base).has_value(), c.expected == 0);
        if (c.expected == 0) {
            EXPECT_EQ(wait_for_state(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
            EXPECT_EQ(msiexec(L"/x " + std::wstring(base.code), L"uninstall"), 0u);
            expect_nothing();
        } else {
            EXPECT_FALSE(exists(folder()));
            EXPECT_THAT(log_text(L"registered"), HasSubstr(utf8(elsewhere)));
            remove_service();
        }
    }
}

}  // namespace
}  // namespace vek::windows_test
