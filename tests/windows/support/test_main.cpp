// The main of every test program of the bundle: GoogleTest's, which writes
// the report the bundle's runner counts (--gtest_output), and at its end the
// removal of the tests' folder outside the bundle (C:\vek-scenarios), which
// carries the tests' marker, so that a program run on its own leaves nothing
// behind either.
#include "folders.h"

#include <gtest/gtest.h>

namespace {

class ScratchFolders final : public ::testing::Environment {
public:
    void TearDown() override { vek::windows_test::remove_scenarios_root(); }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new ScratchFolders);
    return RUN_ALL_TESTS();
}
