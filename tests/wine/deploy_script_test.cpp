// install.cmd and uninstall.cmd as deployment tools run them: `cmd.exe /c
// install.cmd` in the package folder (Wine runs everything with administrator
// rights, as SYSTEM has them), against the real Program Files folder and the
// platform's real service control manager. Each scenario goes in steps, each
// on the state the last left:
// - a first install, a re-run, an upgrade of the running service and an
//   incomplete package, with the detection rule read as the tools read it;
// - upgrades through a slow stop, a process that holds its program a moment
//   after it has stopped, a program held open and a stop that never ends,
//   installers that fail, a service registered from another folder (and its
//   move), a lock that is a folder, two runs at once and one that gives up;
// - upgrades under an sc.exe that prints translated labels or fails (Wine only);
// - uninstalls: through a long stop, losing the lock as it ends, of nothing,
//   and of a service the manager only marks for deletion; runs without an
//   administrator's rights (Windows only).
#include "support/child_process.h"
#include "support/folders.h"
#include "support/service_manager.h"
#include "support/sha256.h"
#include "support/text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vek::wine_test {
namespace {

using ::testing::AnyOf;
using ::testing::HasSubstr;
using ::testing::Not;

// The scripts' own exit codes, as they document them.
constexpr DWORD incomplete_package = 10;
constexpr DWORD not_replaced = 11;
constexpr DWORD did_not_stop = 12;
constexpr DWORD registered_elsewhere = 13;
constexpr DWORD state_unreadable = 14;
constexpr DWORD cannot_lock = 16;
constexpr DWORD lock_timeout = 1618;
constexpr DWORD restart_required = 3010;

void append(const std::wstring& path, const std::string& bytes) {
    detail::OwnedHandle file(CreateFileW(long_form(path).c_str(), FILE_APPEND_DATA, 0, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    DWORD written = 0;
    if (file.get() == INVALID_HANDLE_VALUE ||
        !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
        ADD_FAILURE() << "cannot append to " << utf8(path) << ": " << GetLastError();
}

// The detection rule as Intune and Configuration Manager read it: the
// record's string in the 64-bit registry, here through reg.exe's untranslated
// value line ("    name    REG_SZ    data"). Nothing when there is none.
std::optional<std::string> detection_value() {
    ChildOptions options;
    options.arguments = L"query \"HKLM\\" + std::wstring(record_key) + L"\" /v " + record_value +
                        L" /reg:64";
    ChildResult result = run_child(system_program(L"reg.exe"), options);
    if (result.exit_code != 0) return std::nullopt;
    const std::string prefix = utf8(record_value) + "    REG_SZ    ";
    std::size_t at = result.out.find(prefix);
    if (at == std::string::npos) {
        ADD_FAILURE() << "reg query printed no string value:\n" << result.out;
        return std::nullopt;
    }
    at += prefix.size();
    return result.out.substr(at, result.out.find_first_of("\r\n", at) - at);
}


// Under Wine only, a stand-in program in system32 in place of one of Wine's
// (Wine runs a native program there only with a "native" DllOverride for its
// name), with Wine's own kept beside it as <stem>-real.exe (a copy of a Wine
// program under another name still runs Wine's own). Put back as it was when
// this ends. For the tests' own throw-away prefix: never on a real Windows.
class StandIn {
public:
    StandIn(const std::wstring& name, const std::wstring& stand_in)
        : name_(name), path_(system_program(name.c_str())),
          real_(system_program((name.substr(0, name.rfind(L'.')) + L"-real.exe").c_str())) {
        if (!CopyFileW(path_.c_str(), real_.c_str(), FALSE) ||
            !CopyFileW(stand_in.c_str(), path_.c_str(), FALSE)) {
            ADD_FAILURE() << "cannot put the stand-in for " << utf8(name) << " in place: "
                          << GetLastError();
            return;
        }
        if (RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", name.c_str(),
                            REG_SZ, L"native", sizeof L"native") != ERROR_SUCCESS)
            ADD_FAILURE() << "cannot set the DllOverride for " << utf8(name);
    }
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;
    ~StandIn() {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", name_.c_str());
        if (!CopyFileW(real_.c_str(), path_.c_str(), FALSE) || !DeleteFileW(real_.c_str()))
            ADD_FAILURE() << "cannot put Wine's own " << utf8(name_) << " back: " << GetLastError();
    }

private:
    std::wstring name_, path_, real_;
};

// A run of a script left running, its standard output and error going to a
// file that the test can read while it runs.
class RunningScript {
public:
    RunningScript(const std::wstring& folder, const wchar_t* script, std::wstring output)
        : output_(std::move(output)) {
        SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
        detail::OwnedHandle out(CreateFileW(long_form(output_).c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = out.get();
        startup.hStdError = out.get();
        std::wstring command_line = L"cmd.exe /c " + std::wstring(script);
        PROCESS_INFORMATION process{};
        // A console of its own, as run_child gives: Wine's cmd without one
        // cannot redirect its children's output.
        if (out.get() == INVALID_HANDLE_VALUE ||
            !CreateProcessW(system_program(L"cmd.exe").c_str(), command_line.data(), nullptr,
                            nullptr, TRUE, CREATE_NO_WINDOW, nullptr, folder.c_str(), &startup,
                            &process)) {
            ADD_FAILURE() << "cannot start " << utf8(script) << ": " << GetLastError();
            return;
        }
        *process_.out() = process.hProcess;
        CloseHandle(process.hThread);
    }

    std::string output() const { return file_content(output_).value_or(""); }

    // Waits until the output holds `text`; false after `timeout_ms`, or once
    // the script has ended without it.
    bool wait_for_output(const std::string& text, DWORD timeout_ms = 300000) const {
        ULONGLONG deadline = GetTickCount64() + timeout_ms;
        while (output().find(text) == std::string::npos) {
            if (GetTickCount64() > deadline || !running())
                return output().find(text) != std::string::npos;
            Sleep(50);
        }
        return true;
    }
    bool running() const { return WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }

    // The exit code once it has ended, or 0xFFFFFFFF.
    DWORD wait() {
        DWORD code = 0xFFFFFFFF;
        if (process_.get() == nullptr) return code;
        if (WaitForSingleObject(process_.get(), 300000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "the script did not end within 5 minutes";
            TerminateProcess(process_.get(), code);
            WaitForSingleObject(process_.get(), INFINITE);
        }
        GetExitCodeProcess(process_.get(), &code);
        return code;
    }

private:
    std::wstring output_;
    detail::OwnedHandle process_;
};

// The log install.cmd writes before the target folder exists.
std::wstring install_log() { return windows_log(L"vek-system-service-install.log"); }

// `output` without the line that says a run waits for another: that line
// goes to standard output alone, as the log is written by one run at a time.
std::string without_waiting_line(const std::string& output) {
    std::size_t at = output.find("waiting for it to end");
    if (at == std::string::npos) return output;
    std::size_t start = output.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    return output.substr(0, start) + output.substr(output.find('\n', at) + 1);
}

class DeployScript : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t program_files[MAX_PATH];
        DWORD length = GetEnvironmentVariableW(L"ProgramW6432", program_files, MAX_PATH);
        ASSERT_TRUE(length > 0 && length < MAX_PATH) << "ProgramW6432 is not set";
        target_ = deployment_folder();
        // The test installs into the real folder: it will not touch one that
        // it did not make, nor a service or a record that it did not make.
        ASSERT_FALSE(exists(target_)) << utf8(target_) << " exists: refusing to run";
        ASSERT_FALSE(is_registered()) << "the service is registered: refusing to run";
        ASSERT_FALSE(detection_value()) << "HKLM\\" << utf8(record_key) << " holds "
                                        << utf8(record_value) << ": refusing to run";
        had_uninstall_log_ = exists(uninstall_log());
        had_install_log_ = exists(install_log());
        owns_target_ = true;
        // Wine's certutil is a stub that prints nothing; Windows' computes.
        if (under_wine())
            certutil_.emplace(L"certutil.exe", bundle_file(L"tests\\stand-ins\\certutil.exe"));
    }

    void TearDown() override {
        if (!owns_target_) return;
        // A service hung in its stop lets go once its flag is gone.
        for (const wchar_t* flag : flags) set_flag(flag, false);
        remove_service();
        remove_tree(target_);
        remove_record();
        if (!had_uninstall_log_) DeleteFileW(uninstall_log().c_str());
        if (!had_install_log_) DeleteFileW(install_log().c_str());
    }

    // Marks the folder the script made as the tests' own, so that a run
    // interrupted before the end is cleaned up by the next one.
    void mark_target() const {
        if (!exists(target_ + L"\\" + marker_name)) make_marker(target_);
    }

    // The sample service's flags, files beside its program (see
    // sample_service.cpp).
    static constexpr const wchar_t* flags[] = {L"stop-slowly", L"hold-after-stop", L"never-stop"};
    void set_flag(const wchar_t* flag, bool set) const {
        std::wstring path = target_ + L"\\vek-system-service." + flag;
        if (set)
            make_empty_file(path);
        else
            DeleteFileW(long_form(path).c_str());
    }

    // A package folder holding the shipped scripts and installer and, unless
    // left out, the sample service with `service_suffix` appended.
    static std::wstring lay_out_package(const std::wstring& name,
                                        const std::optional<std::string>& service_suffix) {
        std::wstring folder = scenario_folder(L"deploy (packages)\\" + name);
        copy_file(bundle_file(L"dist\\install.cmd"), folder + L"\\install.cmd");
        copy_file(bundle_file(L"dist\\uninstall.cmd"), folder + L"\\uninstall.cmd");
        copy_file(built_installer(), folder + L"\\" + installer_file_name);
        if (service_suffix) {
            copy_file(built_service(), folder + L"\\" + service_file_name);
            append(folder + L"\\" + service_file_name, *service_suffix);
        }
        return folder;
    }

    // As Configuration Manager and Intune run it: by name, in its folder.
    static ChildResult run_script_in(const std::wstring& folder,
                                     const wchar_t* script = L"install.cmd",
                                     ChildOptions options = {}) {
        options.directory = folder;
        options.arguments = L"/c " + std::wstring(script);
        options.own_console = true;
        return run_child(system_program(L"cmd.exe"), options);
    }

    // Files compared by content, reported by name (not by their bytes).
    void expect_installed(const wchar_t* name, const std::string& content) const {
        EXPECT_TRUE(file_content(target_ + L"\\" + name) == content)
            << utf8(target_ + L"\\" + name) << " is not the expected file";
    }

    // The SHA-256 that a packager computes for the package's service program.
    static std::optional<std::string> package_hash(const std::wstring& package) {
        return sha256_hex(long_form(package + L"\\" + service_file_name));
    }

    std::wstring target_;
    bool owns_target_ = false;
    bool had_uninstall_log_ = false;
    bool had_install_log_ = false;
    std::optional<StandIn> certutil_;
};

TEST_F(DeployScript, InstallsRerunsUpgradesAndRefusesAnIncompletePackage) {
    // Windows' cmd misreads labels in a script with bare line feeds.
    for (const wchar_t* name : {L"dist\\install.cmd", L"dist\\uninstall.cmd"}) {
        std::string script = file_content(bundle_file(name)).value_or("");
        ASSERT_FALSE(script.empty());
        std::size_t bare_line_feeds = 0;
        for (std::size_t at = 0; (at = script.find('\n', at)) != std::string::npos; ++at)
            if (at == 0 || script[at - 1] != '\r') ++bare_line_feeds;
        EXPECT_EQ(bare_line_feeds, 0u) << utf8(name);
    }

    const std::string service = file_content(built_service()).value_or("");
    const std::string installer = file_content(built_installer()).value_or("");
    const std::wstring service_path = target_ + L"\\" + service_file_name;
    const std::wstring log_path = target_ + L"\\install.log";

    // First install: both programs in place, registered by the quoted path,
    // running; every line on standard output is in the log. The detection
    // rule (the record equals the package's SHA-256) is false before, true
    // after.
    std::wstring first = lay_out_package(L"first", "");
    EXPECT_EQ(detection_value(), std::nullopt);
    ChildResult result = run_script_in(first);
    mark_target();
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    expect_installed(service_file_name, service);
    expect_installed(installer_file_name, installer);
    const Registration registration = installed_registration(L"\"" + service_path + L"\"");
    expect_registration(registration);
    ASSERT_EQ(wait_for_state(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
    std::string log = file_content(log_path).value_or("");
    EXPECT_EQ(log, result.out);
    EXPECT_THAT(log, HasSubstr(" setup: Creating service...\r\n"));
    ASSERT_TRUE(package_hash(first));
    EXPECT_EQ(detection_value(), package_hash(first));

    // A re-run of the same package: nothing stopped, the log appended.
    const DWORD first_process = service_process_id();
    ASSERT_NE(first_process, 0u);
    result = run_script_in(first);
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_EQ(service_process_id(), first_process);
    EXPECT_THAT(result.out, HasSubstr(" setup: Installing service...\r\n"));
    EXPECT_EQ(file_content(log_path), log + result.out);

    // An upgrade: another service program (the sample with bytes appended,
    // which still runs), which the rule does not find installed. The running
    // service is stopped, its file replaced, and the installer starts it
    // again; the registration stays, and the rule finds the new program.
    const std::string upgraded = service + "another build";
    std::wstring second = lay_out_package(L"second", "another build");
    EXPECT_NE(detection_value(), package_hash(second));
    result = run_script_in(second);
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_THAT(result.out, HasSubstr(" setup: Service exists, starting...\r\n"));
    expect_installed(service_file_name, upgraded);
    EXPECT_EQ(wait_for_state(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_NE(service_process_id(), first_process);
    expect_registration(registration);
    EXPECT_EQ(detection_value(), package_hash(second));

    // An incomplete package (and another installer in it): refused before
    // anything is stopped or copied.
    const DWORD upgraded_process = service_process_id();
    std::wstring incomplete = lay_out_package(L"incomplete", std::nullopt);
    append(incomplete + L"\\" + installer_file_name, "another build");
    result = run_script_in(incomplete);
    EXPECT_EQ(result.exit_code, incomplete_package) << result.out << result.err;
    EXPECT_EQ(current_state(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(service_process_id(), upgraded_process);
    expect_installed(service_file_name, upgraded);
    expect_installed(installer_file_name, installer);
}

TEST_F(DeployScript, UpgradesThroughHardStopsAndRefusesWhatItMust) {
    const std::string service = file_content(built_service()).value_or("");
    const std::string installer = file_content(built_installer()).value_or("");
    const std::wstring log_path = target_ + L"\\install.log";
    ChildResult result = run_script_in(lay_out_package(L"first", ""));
    mark_target();
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    ASSERT_EQ(wait_for_state(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));

    // Upgrades through a stop that stays stop-pending for longer than the
    // script retries a copy, and through a process that holds its program a
    // moment after it has reported stopped: the new program runs.
    std::wstring package;
    for (const auto& [flag, build] : {std::pair{L"stop-slowly", "slow"},
                                      std::pair{L"hold-after-stop", "held file"}}) {
        SCOPED_TRACE(utf8(flag));
        const DWORD before = service_process_id();
        set_flag(flag, true);
        package = lay_out_package(flag, build);
        result = run_script_in(package);
        set_flag(flag, false);
        EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
        EXPECT_THAT(result.out, HasSubstr(" vek-system-service stopped\r\n"));
        expect_installed(service_file_name, service + build);
        EXPECT_EQ(wait_for_state(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
        EXPECT_NE(service_process_id(), before);
        EXPECT_EQ(detection_value(), package_hash(package));
    }

    // An upgrade that cannot move its program into place (another process
    // holds the installed one open): exit 11, the old program runs again
    // and its record is put back.
    detail::OwnedHandle holder(CreateFileW(long_form(target_ + L"\\" + service_file_name).c_str(),
                                           GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    result = run_script_in(lay_out_package(L"held", "held program build"));
    holder.reset();
    EXPECT_EQ(result.exit_code, not_replaced) << result.out << result.err;
    expect_installed(service_file_name, service + "held file");
    EXPECT_EQ(wait_for_state(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(detection_value(), package_hash(package));

    // A stop that never ends: exit 12 after the minute, which it waited out
    // (saying so every 10 seconds), nothing copied, the old program still
    // running in the same process and its record kept.
    const DWORD hung = service_process_id();
    set_flag(L"never-stop", true);
    result = run_script_in(lay_out_package(L"hung", "hung stop build"));
    EXPECT_EQ(result.exit_code, did_not_stop) << result.out << result.err;
    EXPECT_THAT(result.out, HasSubstr(" vek-system-service has not stopped after 50 seconds"));
    EXPECT_THAT(result.out, HasSubstr(" vek-system-service did not stop within 60 seconds"));
    expect_installed(service_file_name, service + "held file");
    EXPECT_EQ(current_state(), static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(service_process_id(), hung);
    EXPECT_EQ(detection_value(), package_hash(package));
    set_flag(L"never-stop", false);
    ASSERT_EQ(wait_for_state(SERVICE_STOPPED), static_cast<DWORD>(SERVICE_STOPPED));

    // An installer that fails (the service is disabled, so the manager
    // refuses the start): its exit code is the script's; the record stays
    // with the installed program, and goes with another.
    {
        ScHandle disabled = open_service(SERVICE_CHANGE_CONFIG);
        ASSERT_TRUE(ChangeServiceConfigW(disabled.get(), SERVICE_NO_CHANGE, SERVICE_DISABLED,
                                         SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                         nullptr, nullptr, nullptr));
    }
    result = run_script_in(package);
    EXPECT_EQ(result.exit_code, 1u) << result.out << result.err;
    EXPECT_EQ(detection_value(), package_hash(package));
    result = run_script_in(lay_out_package(L"failing", "failing installer build"));
    EXPECT_EQ(result.exit_code, 1u) << result.out << result.err;
    EXPECT_THAT(result.out, HasSubstr(" vek-system-service-setup.exe exited with 1\r\n"));
    expect_installed(service_file_name, service + "failing installer build");
    EXPECT_EQ(detection_value(), std::nullopt);

    // An installer that exits with 2 or 3 (the sample service in its place,
    // which outside the manager exits with VEK_TEST_EXIT_CODE): that code,
    // and nothing recorded.
    for (const wchar_t* code : {L"2", L"3"}) {
        package = lay_out_package(std::wstring(L"exit ") + code, "exit " + utf8(code));
        copy_file(built_service(), package + L"\\" + installer_file_name);
        ChildOptions options;
        options.environment = {{L"VEK_TEST_EXIT_CODE", code}};
        result = run_script_in(package, L"install.cmd", options);
        EXPECT_EQ(result.exit_code, std::stoul(code)) << result.out << result.err;
        EXPECT_EQ(detection_value(), std::nullopt);
    }

    // A service registered from another folder: nothing stopped, copied or
    // run; standard output and the log name that folder and the way to move
    // it, which then works: uninstall.cmd (which leaves the other folder's
    // program, and the tests' marker, which it did not install), install.cmd.
    remove_service();
    const std::wstring elsewhere = scenario_folder(L"deploy (elsewhere)");
    copy_file(built_service(), elsewhere + L"\\" + service_file_name);
    {
        ScHandle manager = open_manager();
        ScHandle other(CreateServiceW(manager.get(), service_name, L"Vek System Service",
                                      SERVICE_START, SERVICE_WIN32_OWN_PROCESS,
                                      SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                      (L"\"" + elsewhere + L"\\" + service_file_name + L"\"").c_str(),
                                      nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(other) << "CreateServiceW failed with " << GetLastError();
        ASSERT_TRUE(StartServiceW(other.get(), 0, nullptr)) << GetLastError();
    }
    ASSERT_EQ(wait_for_state(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
    const DWORD other_process = service_process_id();
    std::string log = file_content(log_path).value_or("");
    const std::wstring moving = lay_out_package(L"moving", "moved build");
    result = run_script_in(moving);
    EXPECT_EQ(result.exit_code, registered_elsewhere) << result.out << result.err;
    EXPECT_THAT(result.out, HasSubstr(" vek-system-service is registered from another folder, " +
                                      utf8(elsewhere) + "\\ "));
    EXPECT_THAT(result.out, HasSubstr("run uninstall.cmd, then install.cmd\r\n"));
    EXPECT_EQ(file_content(log_path), log + result.out);
    EXPECT_EQ(service_process_id(), other_process);
    expect_installed(service_file_name, service + "exit 3");
    result = run_script_in(moving, L"uninstall.cmd");
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_THAT(result.out, HasSubstr(" not installed by install.cmd: vek-tests.marker\r\n"));
    EXPECT_FALSE(is_registered());
    EXPECT_TRUE(file_content(elsewhere + L"\\" + service_file_name) == service);
    result = run_script_in(moving);
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    expect_registration(installed_registration(L"\"" + target_ + L"\\" + service_file_name + L"\""));
    ASSERT_EQ(wait_for_state(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));

    // install.lock made a folder: neither script can ever take the lock, and
    // each says why at once, changing nothing.
    const std::wstring lock_path = long_form(target_ + L"\\install.lock");
    const DWORD running = service_process_id();
    ASSERT_TRUE(DeleteFileW(lock_path.c_str()) && CreateDirectoryW(lock_path.c_str(), nullptr));
    for (const wchar_t* script : {L"install.cmd", L"uninstall.cmd"}) {
        result = run_script_in(lay_out_package(L"lock a folder", "lock a folder build"), script);
        EXPECT_EQ(result.exit_code, cannot_lock) << result.out << result.err;
        EXPECT_THAT(result.out, HasSubstr("install.lock: it is a folder, not a file"));
    }
    EXPECT_EQ(service_process_id(), running);
    ASSERT_TRUE(RemoveDirectoryW(lock_path.c_str())) << GetLastError();

    // The registration names the folder in capitals, as Windows' paths may:
    // the same folder, upgraded by the two runs below.
    std::wstring upper = L"\"" + target_ + L"\\" + service_file_name + L"\"";
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    ASSERT_TRUE(ChangeServiceConfigW(open_service(SERVICE_CHANGE_CONFIG).get(), SERVICE_NO_CHANGE,
                                     SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, upper.c_str(), nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr));

    // Two runs at once, of an upgrade: while a run holds the lock (here the
    // test, opening it as a run does), both say that they wait, and a third
    // with its wait cut to 2 seconds gives up with 1618, logged; then one
    // after the other upgrades or finds the upgrade done, each with its own
    // installer lines, and the log holds each run's lines unbroken.
    const std::wstring both = lay_out_package(L"two runs", "two runs");
    const std::wstring outputs = scenario_folder(L"deploy (two runs)");
    std::optional<RunningScript> a, b;
    {
        detail::OwnedHandle lock(CreateFileW(lock_path.c_str(), GENERIC_WRITE, 0, nullptr,
                                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_NE(lock.get(), INVALID_HANDLE_VALUE) << GetLastError();
        ChildOptions impatient;
        impatient.environment = {{L"VEK_DEPLOY_LOCK_WAIT", L"2"}};
        result = run_script_in(both, L"install.cmd", impatient);
        EXPECT_EQ(result.exit_code, lock_timeout) << result.out << result.err;
        log = file_content(log_path).value_or("");
        EXPECT_THAT(log, HasSubstr(" another install.cmd or uninstall.cmd has been running for 2 seconds"));
        a.emplace(both, L"install.cmd", outputs + L"\\a.out");
        b.emplace(both, L"install.cmd", outputs + L"\\b.out");
        EXPECT_TRUE(a->wait_for_output("waiting for it to end")) << a->output();
        EXPECT_TRUE(b->wait_for_output("waiting for it to end")) << b->output();
    }
    EXPECT_EQ(a->wait(), 0u) << a->output();
    EXPECT_EQ(b->wait(), 0u) << b->output();
    const std::string a_lines = without_waiting_line(a->output());
    const std::string b_lines = without_waiting_line(b->output());
    for (const std::string* lines : {&a_lines, &b_lines}) {
        EXPECT_THAT(*lines, HasSubstr(" setup: Installing service...\r\n"));
        EXPECT_THAT(*lines, HasSubstr(" vek-system-service-setup.exe exited with 0\r\n"));
    }
    EXPECT_THAT(file_content(log_path).value_or(""),
                AnyOf(log + a_lines + b_lines, log + b_lines + a_lines));
    expect_installed(service_file_name, service + "two runs");
    EXPECT_EQ(wait_for_state(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(detection_value(), package_hash(both));
}

TEST_F(DeployScript, UpgradesUnderAnScThatPrintsTranslatedLabels) {
    if (!under_wine())
        GTEST_SKIP() << "the stand-in sc.exe that prints translated labels is put in system32 "
                        "only in the tests' own Wine prefix, never on a real Windows machine "
                        "(run this on a Windows edition in another language instead)";
    const std::string service = file_content(built_service()).value_or("");
    ChildResult result = run_script_in(lay_out_package(L"first", ""));
    mark_target();
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    ASSERT_EQ(wait_for_state(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
    const DWORD before = service_process_id();

    StandIn sc(L"sc.exe", bundle_file(L"tests\\stand-ins\\sc.exe"));
    // What install.cmd reads now, as a Brazilian Portuguese Windows prints it.
    ChildOptions query;
    query.arguments = L"query vek-system-service";
    ChildResult translated = run_child(system_program(L"sc.exe"), query);
    EXPECT_THAT(translated.out, HasSubstr("ESTADO"));
    EXPECT_THAT(translated.out, HasSubstr(": 4  RUNNING"));
    EXPECT_THAT(translated.out, Not(HasSubstr("STATE")));

    const std::wstring translated_package = lay_out_package(L"translated", "translated labels build");
    result = run_script_in(translated_package);
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_THAT(result.out, HasSubstr(" stopping vek-system-service (4 RUNNING) to replace vek-system-service.exe\r\n"));
    EXPECT_THAT(result.out, HasSubstr(" vek-system-service stopped\r\n"));
    expect_installed(service_file_name, service + "translated labels build");
    EXPECT_EQ(wait_for_state(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_NE(service_process_id(), before);

    // An sc that the manager refuses (the stand-in with VEK_TEST_SC_DENIED):
    // the state cannot be read, and both scripts exit 14, changing nothing.
    const DWORD upgraded = service_process_id();
    ChildOptions denied;
    denied.environment = {{L"VEK_TEST_SC_DENIED", L"1"}};
    for (const wchar_t* script : {L"install.cmd", L"uninstall.cmd"}) {
        result = run_script_in(lay_out_package(L"unreadable", "unreadable build"), script, denied);
        EXPECT_EQ(result.exit_code, state_unreadable) << result.out << result.err;
    }
    EXPECT_EQ(service_process_id(), upgraded);
    expect_installed(service_file_name, service + "translated labels build");
    EXPECT_EQ(detection_value(), package_hash(translated_package));
}

TEST_F(DeployScript, UninstallsAnInstallNothingAndAServiceMarkedForDeletion) {
    const std::wstring package = lay_out_package(L"uninstalled", "");
    const std::string log_before = file_content(uninstall_log()).value_or("");

    // An install, then its removal through a stop longer than half the
    // minute the script waits (ended once it says it waited 30 seconds), as
    // another run takes the lock when it lets go (the test: the folder held
    // open, so that it stays, then install.lock taken for writing): exit 0,
    // all gone (the record's key too) but the folder with the lock; the log,
    // outside the folder, holds what it printed.
    ChildResult result = run_script_in(package);
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    ASSERT_EQ(wait_for_state(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
    ASSERT_TRUE(detection_value());
    const std::wstring lock_path = long_form(target_ + L"\\install.lock");
    {
        detail::OwnedHandle folder(CreateFileW(long_form(target_).c_str(), FILE_LIST_DIRECTORY,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        set_flag(L"never-stop", true);
        RunningScript removal(package, L"uninstall.cmd",
                              scenario_folder(L"deploy (uninstall)") + L"\\uninstall.out");
        EXPECT_TRUE(removal.wait_for_output(" vek-system-service has not stopped after 30 seconds"))
            << removal.output();
        set_flag(L"never-stop", false);
        detail::OwnedHandle other_run;
        while (removal.running() &&
               (*other_run.out() = CreateFileW(lock_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                               nullptr, OPEN_ALWAYS, 0, nullptr)) == INVALID_HANDLE_VALUE)
            Sleep(20);
        folder.reset();
        EXPECT_EQ(removal.wait(), 0u) << removal.output();
        EXPECT_THAT(removal.output(), HasSubstr(" is kept: another install.cmd or uninstall.cmd took its lock"));
        EXPECT_FALSE(is_registered());
        EXPECT_FALSE(exists(target_ + L"\\" + service_file_name));
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, record_key, 0, KEY_READ | KEY_WOW64_64KEY, &key),
                  ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(file_content(uninstall_log()), log_before + removal.output());
    }

    // Nothing installed: nothing to do, and done; the folder goes.
    result = run_script_in(package, L"uninstall.cmd");
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_THAT(result.out, HasSubstr(" vek-system-service is not registered\r\n"));
    EXPECT_FALSE(exists(target_));

    // Before the folder exists, install.cmd logs to Windows' Logs folder.
    const std::string install_log_before = file_content(install_log()).value_or("");
    result = run_script_in(lay_out_package(L"incomplete", std::nullopt));
    EXPECT_EQ(result.exit_code, incomplete_package) << result.out << result.err;
    EXPECT_EQ(file_content(install_log()), install_log_before + result.out);

    // Another program holds the service open: the manager only marks it for
    // deletion, and removes it once that program lets go. The platform is
    // asked first, with a registration of the test's own.
    bool marks = false;
    {
        ScHandle manager = open_manager();
        ScHandle probe(CreateServiceW(manager.get(), service_name, L"Vek System Service", DELETE,
                                      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                      SERVICE_ERROR_NORMAL, built_service().c_str(), nullptr,
                                      nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(probe) << "CreateServiceW failed with " << GetLastError();
        ScHandle holder = open_service(SERVICE_QUERY_STATUS);
        ASSERT_TRUE(DeleteService(probe.get())) << GetLastError();
        probe = ScHandle();
        marks = static_cast<bool>(open_service(SERVICE_QUERY_STATUS));
    }
    ASSERT_EQ(wait_for_state(0, 30000), 0u) << "the probe's registration stayed";
    if (!marks)
        GTEST_SKIP() << "this platform removes a deleted service at once, even while another "
                        "handle holds it open: it never marks one for deletion";

    // Marked for deletion: exit 3010 (restart required) once everything else
    // is removed; the file that install.cmd did not put there stays, with the
    // folder, and is named.
    result = run_script_in(package);
    mark_target();
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    {
        ScHandle holder = open_service(SERVICE_QUERY_STATUS);
        ASSERT_TRUE(holder);
        result = run_script_in(package, L"uninstall.cmd");
        EXPECT_EQ(result.exit_code, restart_required) << result.out << result.err;
        EXPECT_THAT(result.out, HasSubstr(" vek-system-service is marked for deletion"));
        EXPECT_THAT(result.out, HasSubstr(" not installed by install.cmd: vek-tests.marker\r\n"));
        EXPECT_FALSE(exists(target_ + L"\\" + service_file_name));
        EXPECT_FALSE(exists(target_ + L"\\" + installer_file_name));
        EXPECT_TRUE(exists(target_ + L"\\" + marker_name));
        EXPECT_EQ(detection_value(), std::nullopt);
    }
    EXPECT_EQ(wait_for_state(0, 30000), 0u) << "the registration stayed after its last handle";
}

TEST_F(DeployScript, RefusesAtOnceWithoutAnAdministratorsRights) {
    if (under_wine())
        GTEST_SKIP() << "Wine grants every right to every process: a run without an "
                        "administrator's rights cannot be made there";
    const std::wstring package = lay_out_package(L"not elevated", "");
    ASSERT_EQ(run_script_in(package).exit_code, 0u);
    mark_target();
    // The platform first: fltmc, which the scripts ask, answers only an
    // administrator. Each script, with the Administrators group for deny
    // only, ends at once with 16, saying why, changing nothing.
    ChildOptions restricted;
    restricted.without_administrators = true;
    const bool refused = run_child(system_program(L"fltmc.exe"), restricted).exit_code != 0;
    for (const wchar_t* script : {L"install.cmd", L"uninstall.cmd"}) {
        ChildResult result = run_script_in(package, script, restricted);
        EXPECT_EQ(result.exit_code, cannot_lock) << result.out << result.err;
        EXPECT_THAT(result.out, HasSubstr(refused ? "this run is not elevated"
                                                  : "the folder's permissions deny it"));
    }
    EXPECT_TRUE(is_registered());
    EXPECT_EQ(detection_value(), package_hash(package));
}

}  // namespace
}  // namespace vek::wine_test
