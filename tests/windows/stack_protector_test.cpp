// The stack protector as the installer is built with it: a program whose
// protected function overruns a stack buffer is ended by the system, with the
// code Windows gives a failed stack check, before that function can return;
// and the guard it checks is set anew for every process.
#include "support/child_process.h"
#include "support/folders.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace vek::windows_test {
namespace {

std::wstring probe() { return bundle_file(L"tests\\stack_overrun.exe"); }

TEST(StackProtector, OverrunEndsTheProcessInsteadOfReturning) {
    // The C runtime's text mode writes CR LF.
    ChildResult intact = run_child(probe());
    EXPECT_EQ(intact.out, "copied 5 bytes\r\nreturned\r\n");
    EXPECT_EQ(intact.exit_code, 0u);

    ChildOptions options;
    options.environment.emplace_back(L"VEK_OVERRUN", L"1");
    ChildResult smashed = run_child(probe(), options);
    EXPECT_EQ(smashed.out, "copied 62 bytes\r\n");
    EXPECT_EQ(smashed.exit_code, 0xC0000409u) << "expected STATUS_STACK_BUFFER_OVERRUN";
}

// An overrun that writes the guard back unchanged passes the check: a guard
// left at zero, or the same in every process, can be. Its low byte is zero,
// so that a string copy ends at it.
TEST(StackProtector, GuardIsUnpredictable) {
    ChildOptions options;
    options.environment.emplace_back(L"VEK_SHOW_GUARD", L"1");
    auto guard_of_a_run = [&] {
        ChildResult run = run_child(probe(), options);
        EXPECT_EQ(run.exit_code, 0u);
        unsigned long long guard = 0;
        EXPECT_EQ(std::sscanf(run.out.c_str(), "guard %llx", &guard), 1) << run.out;
        return guard;
    };
    unsigned long long first = guard_of_a_run(), second = guard_of_a_run();
    EXPECT_NE(first, 0u) << "the guard was never set";
    EXPECT_EQ(first & 0xFF, 0u) << std::hex << first;
    EXPECT_EQ(second & 0xFF, 0u) << std::hex << second;
    EXPECT_NE(first, second) << "the same guard in two processes";
}

// Built with the installer's handling of runtime faults: a diagnostic line
// and exit code 3, not an exception nobody catches.
TEST(RuntimeFault, EndsTheProcessWithExitCodeThree) {
    ChildOptions options;
    options.environment.emplace_back(L"VEK_RUNTIME_FAULT", L"1");
    ChildResult run = run_child(probe(), options);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "internal fault: basic_string::_M_create\n");
    EXPECT_EQ(run.exit_code, 3u);
}

}  // namespace
}  // namespace vek::windows_test
