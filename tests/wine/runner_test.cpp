// The bundle's runner: run-tests.cmd will not start beside a vek-system-service
// it did not make, and leaves that registration exactly as it was; its
// check at the end reports what a run left outside the bundle, and removes
// it when it is the tests' own.
#include "support/bundle.h"
#include "support/child_process.h"
#include "support/folders.h"
#include "support/service_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace vek::wine_test {
namespace {

using ::testing::HasSubstr;

std::wstring system_program(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder, length) + L"\\" + name;
}

// Runs `program` with `arguments` in the bundle's folder, with a console of
// its own (Wine's cmd needs one to redirect what it runs).
ChildResult run_in_bundle(const std::wstring& program, const std::wstring& arguments) {
    ChildOptions options;
    options.arguments = arguments;
    options.directory = bundle_root();
    options.own_console = true;
    return run_child(program, options);
}

class Runner : public ::testing::Test {
protected:
    void SetUp() override { remove_service(); }
    void TearDown() override {
        remove_service();
        remove_scenarios_root();
    }
};

TEST_F(Runner, RefusesToStartBesideAServiceItDidNotMakeAndLeavesItAsItWas) {
    {
        ScHandle manager = open_manager();
        ScHandle service(CreateServiceW(
            manager.get(), service_name, L"Not the tests' service", SERVICE_CHANGE_CONFIG,
            SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
            L"\"C:\\Somewhere Else\\vek-system-service.exe\" --keep", nullptr, nullptr, nullptr,
            nullptr, nullptr));
        ASSERT_TRUE(service) << "CreateServiceW failed with " << GetLastError();
        wchar_t text[] = L"registered by someone else";
        SERVICE_DESCRIPTIONW description{text};
        ASSERT_TRUE(ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description));
    }
    Registration before;
    before.service_type = SERVICE_WIN32_OWN_PROCESS;
    before.start_type = SERVICE_DEMAND_START;
    before.error_control = SERVICE_ERROR_IGNORE;
    before.command_line = L"\"C:\\Somewhere Else\\vek-system-service.exe\" --keep";
    before.account = L"LocalSystem";
    before.display_name = L"Not the tests' service";
    before.description = L"registered by someone else";
    expect_registration(before);

    ChildResult run = run_in_bundle(system_program(L"cmd.exe"), L"/c run-tests.cmd");

    EXPECT_EQ(run.exit_code, 2u) << run.out << run.err;
    EXPECT_THAT(run.out, HasSubstr("A service named vek-system-service is registered"));
    EXPECT_THAT(run.out, HasSubstr("will not touch one they did not make"));
    EXPECT_THAT(run.out, HasSubstr("nothing was run, and nothing was changed"));
    expect_registration(before);
}

TEST_F(Runner, CheckAtTheEndReportsAFolderLeftBehindAndRemovesIt) {
    make_scenarios_root();
    make_directories(std::wstring(scenarios_root) + L"\\left behind");

    ChildResult check = run_in_bundle(bundle_file(L"tests\\bundle-helper.exe"), L"finish");

    EXPECT_EQ(check.exit_code, 1u) << "one leftover";
    EXPECT_THAT(check.out, HasSubstr("LEFT BEHIND: the folder C:\\vek-scenarios"));
    EXPECT_EQ(GetFileAttributesW(scenarios_root), INVALID_FILE_ATTRIBUTES)
        << "the tests' own folder was not removed";

    ChildResult again = run_in_bundle(bundle_file(L"tests\\bundle-helper.exe"), L"finish");
    EXPECT_EQ(again.exit_code, 0u) << again.out;
    EXPECT_EQ(again.out, "");
}

}  // namespace
}  // namespace vek::wine_test
