// install.cmd as deployment tools run it: `cmd.exe /c install.cmd` in the
// package folder (Wine runs everything with administrator rights, as SYSTEM
// has them), against the real Program Files folder and the platform's real
// service control manager. One scenario in steps, each on the state the last
// left: a first install, a re-run, an upgrade of the running service and an
// incomplete package.
#include "support/child_process.h"
#include "support/folders.h"
#include "support/service_manager.h"
#include "support/text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vek::wine_test {
namespace {

using ::testing::HasSubstr;

// The script's own exit code for a package without one of the programs.
constexpr DWORD incomplete_package = 10;

// The script as it ships, beside the installer in dist/.
std::wstring shipped_script() { return bundle_file(L"dist\\install.cmd"); }

void append(const std::wstring& path, const std::string& bytes) {
    detail::OwnedHandle file(CreateFileW(long_form(path).c_str(), FILE_APPEND_DATA, 0, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    DWORD written = 0;
    if (file.get() == INVALID_HANDLE_VALUE ||
        !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
        ADD_FAILURE() << "cannot append to " << utf8(path) << ": " << GetLastError();
}

// The id of the service's process, or 0 when it has none.
DWORD service_process_id() {
    ScHandle service = open_service(SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service || !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                          reinterpret_cast<BYTE*>(&status), sizeof status, &needed))
        return 0;
    return status.dwProcessId;
}

class DeployScript : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t program_files[MAX_PATH];
        DWORD length = GetEnvironmentVariableW(L"ProgramW6432", program_files, MAX_PATH);
        ASSERT_TRUE(length > 0 && length < MAX_PATH) << "ProgramW6432 is not set";
        target_ = deployment_folder();
        // The test installs into the real folder: it will not touch one that
        // it did not make, nor a service that it did not register.
        ASSERT_EQ(GetFileAttributesW(long_form(target_).c_str()), INVALID_FILE_ATTRIBUTES)
            << utf8(target_) << " exists: refusing to run";
        ASSERT_FALSE(is_registered()) << "the service is registered: refusing to run";
        owns_target_ = true;
    }

    void TearDown() override {
        if (owns_target_) {
            remove_service();
            remove_tree(target_);
        }
    }

    // Marks the folder the script made as the tests' own, so that a run
    // interrupted before the end is cleaned up by the next one.
    void mark_target() const {
        detail::OwnedHandle marker(CreateFileW(long_form(target_ + L"\\" + marker_name).c_str(),
                                               GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_NE(marker.get(), INVALID_HANDLE_VALUE) << "cannot mark " << utf8(target_);
    }

    // A package folder holding the shipped script and installer and, unless
    // left out, the sample service with `service_suffix` appended.
    static std::wstring lay_out_package(const std::wstring& name,
                                        const std::optional<std::string>& service_suffix) {
        std::wstring folder = scenario_folder(L"deploy (packages)\\" + name);
        copy_file(shipped_script(), folder + L"\\install.cmd");
        copy_file(built_installer(), folder + L"\\" + installer_file_name);
        if (service_suffix) {
            copy_file(built_service(), folder + L"\\" + service_file_name);
            append(folder + L"\\" + service_file_name, *service_suffix);
        }
        return folder;
    }

    // As Configuration Manager and Intune run it: by name, in its folder.
    static ChildResult run_script_in(const std::wstring& folder) {
        wchar_t system[MAX_PATH];
        UINT length = GetSystemDirectoryW(system, MAX_PATH);
        ChildOptions options;
        options.directory = folder;
        options.arguments = L"/c install.cmd";
        options.own_console = true;
        return run_child(std::wstring(system, length) + L"\\cmd.exe", options);
    }

    // Files compared by content, reported by name (not by their bytes).
    void expect_installed(const wchar_t* name, const std::string& content) const {
        EXPECT_TRUE(file_content(target_ + L"\\" + name) == content)
            << utf8(target_ + L"\\" + name) << " is not the expected file";
    }

    std::wstring target_;
    bool owns_target_ = false;
};

TEST_F(DeployScript, InstallsRerunsUpgradesAndRefusesAnIncompletePackage) {
    // Windows' cmd misreads labels in a script with bare line feeds.
    std::string script = file_content(shipped_script()).value_or("");
    ASSERT_FALSE(script.empty());
    std::size_t bare_line_feeds = 0;
    for (std::size_t at = 0; (at = script.find('\n', at)) != std::string::npos; ++at)
        if (at == 0 || script[at - 1] != '\r') ++bare_line_feeds;
    EXPECT_EQ(bare_line_feeds, 0u);

    const std::string service = file_content(built_service()).value_or("");
    const std::string installer = file_content(built_installer()).value_or("");
    const std::wstring service_path = target_ + L"\\" + service_file_name;
    const std::wstring log_path = target_ + L"\\install.log";

    // First install: both programs in place, registered by the quoted path,
    // running; every line on standard output is in the log.
    std::wstring first = lay_out_package(L"first", "");
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

    // A re-run of the same package: nothing stopped, the log appended.
    const DWORD first_process = service_process_id();
    ASSERT_NE(first_process, 0u);
    result = run_script_in(first);
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_EQ(service_process_id(), first_process);
    EXPECT_THAT(result.out, HasSubstr(" setup: Installing service...\r\n"));
    EXPECT_EQ(file_content(log_path), log + result.out);

    // An upgrade: another service program (the sample with bytes appended,
    // which still runs). The running service is stopped, its file replaced,
    // and the installer starts it again; the registration stays.
    const std::string upgraded = service + "another build";
    result = run_script_in(lay_out_package(L"second", "another build"));
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_THAT(result.out, HasSubstr(" setup: Service exists, starting...\r\n"));
    expect_installed(service_file_name, upgraded);
    EXPECT_EQ(wait_for_state(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_NE(service_process_id(), first_process);
    expect_registration(registration);

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

}  // namespace
}  // namespace vek::wine_test
