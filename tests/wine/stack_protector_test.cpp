// The stack protector as the installer is built with it: a program whose
// protected function overruns a stack buffer is ended by the system, with the
// code Windows gives a failed stack check, before that function can return.
#include "support/child_process.h"
#include "support/folders.h"

#include <gtest/gtest.h>

namespace vek::wine_test {
namespace {

TEST(StackProtector, OverrunEndsTheProcessInsteadOfReturning) {
    std::wstring probe =
        windows_path_of_host_path(environment("VEK_BUILD_DIR") + "/tests/wine/stack_overrun.exe");

    // The C runtime's text mode writes CR LF.
    ChildResult intact = run_child(probe);
    EXPECT_EQ(intact.out, "copied 5 bytes\r\nreturned\r\n");
    EXPECT_EQ(intact.exit_code, 0u);

    ChildOptions options;
    options.environment.emplace_back(L"VEK_OVERRUN", L"1");
    ChildResult smashed = run_child(probe, options);
    EXPECT_EQ(smashed.out, "copied 62 bytes\r\n");
    EXPECT_EQ(smashed.exit_code, 0xC0000409u) << "expected STATUS_STACK_BUFFER_OVERRUN";
}

}  // namespace
}  // namespace vek::wine_test
