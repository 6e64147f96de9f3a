// Start-up: DLL loading restricted first, then the thread named where kernel32
// has SetThreadDescription, and skipped without a trace where it has not.
#include "app/start_up.h"

#include "platform/fake/fake_platform.h"
#include "support/fake_platform_test.h"

#include <gtest/gtest.h>

namespace vek {
namespace {

namespace fake = platform::fake;
using Names = std::vector<std::string>;

class StartUp : public testing::FakePlatformTest, public ::testing::WithParamInterface<bool> {};

TEST_P(StartUp, RestrictsDllLoadingThenNamesTheThreadOnlyWhereKernel32CanDoIt) {
    bool exported = GetParam();
    fake::set_thread_description_exported(exported);

    prepare_process();

    Names expected = {"SetDefaultDllDirectories", "GetModuleHandleW", "GetProcAddress"};
    if (exported) expected.push_back("SetThreadDescription");
    EXPECT_EQ(fake::call_names(), expected);
    EXPECT_EQ(fake::calls_of("SetDefaultDllDirectories").at(0).numbers,
              std::vector<std::uint64_t>{platform::load_library_search_system32});
    EXPECT_EQ(fake::calls_of("GetModuleHandleW").at(0).texts.at(0), u"kernel32.dll");
    auto lookup = fake::calls_of("GetProcAddress").at(0);
    EXPECT_EQ(lookup.numbers.at(0), fake::number_of(fake::kernel32_module()));
    EXPECT_EQ(lookup.texts.at(0), u"SetThreadDescription");
    if (exported) {
        auto naming = fake::calls_of("SetThreadDescription").at(0);
        EXPECT_EQ(naming.numbers.at(0), fake::number_of(platform::GetCurrentThread()));
        EXPECT_EQ(naming.texts.at(0), u"main");
    }
}

INSTANTIATE_TEST_SUITE_P(Kernel32, StartUp, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& kernel32) {
                             return kernel32.param ? "From1607On" : "Before1607";
                         });

}  // namespace
}  // namespace vek
