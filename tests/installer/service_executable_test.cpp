#include "installer/service_executable.h"

#include "platform/fake/fake_files.h"
#include "scm/os_error.h"
#include "support/fake_platform_test.h"

#include <gtest/gtest.h>

namespace vek {
namespace {

using namespace platform::fake;

class LocateServiceExecutable : public testing::FakePlatformTest {};

TEST_F(LocateServiceExecutable, FindsTheServiceBesideTheInstaller) {
    module_file_name().name = u"C:\\Tools\\setup.exe";
    add_entry(u"C:\\Tools\\vek-system-service.exe", FileEntry{});
    auto path = locate_service_executable("vek-system-service");
    ASSERT_TRUE(path) << path.error().message();
    EXPECT_EQ(*path, u"C:\\Tools\\vek-system-service.exe");
}

TEST_F(LocateServiceExecutable, PutsItAtTheRootWithOneBackslash) {
    module_file_name().name = u"C:\\setup.exe";
    add_entry(u"C:\\vek-system-service.exe", FileEntry{});
    auto path = locate_service_executable("vek-system-service");
    ASSERT_TRUE(path) << path.error().message();
    EXPECT_EQ(*path, u"C:\\vek-system-service.exe");
}

TEST_F(LocateServiceExecutable, FindsItBesideADeepInstallerAndGivesThePlainPath) {
    std::u16string directory = u"C:\\" + std::u16string(600, u'd');
    module_file_name().name = directory + u"\\setup.exe";
    // A path this long is tested in its verbatim form ...
    add_entry(u"\\\\?\\" + directory + u"\\vek-system-service.exe", FileEntry{});
    auto path = locate_service_executable("vek-system-service");
    ASSERT_TRUE(path) << path.error().message();
    // ... and handed back as the platform gave it.
    EXPECT_EQ(*path, directory + u"\\vek-system-service.exe");
    EXPECT_EQ(calls_of("GetModuleFileNameW").size(), 2u);
}

TEST_F(LocateServiceExecutable, AcceptsADirectoryOfThatName) {
    add_entry(u"C:\\Tools\\vek-system-service.exe", FileEntry{.attributes = 0x10});
    EXPECT_TRUE(locate_service_executable("vek-system-service"));
}

TEST_F(LocateServiceExecutable, ReportsAMissingExecutableWithItsEscapedPath) {
    module_file_name().name = u"C:\\Tools\\setup.exe";
    auto path = locate_service_executable("vek-system-service");
    ASSERT_FALSE(path);
    EXPECT_EQ(path.error().message(),
              "Bin path not exists: \"C:\\\\Tools\\\\vek-system-service.exe\"");
    EXPECT_EQ(path.error().chain().size(), 1u) << "the message has no cause";
}

TEST_F(LocateServiceExecutable, ShowsQuotesMarksAndSurrogatesEscaped) {
    module_file_name().name = u"C:\\it's caf\u00E9\u0301 \xD800\\setup.exe";
    auto path = locate_service_executable("vek-system-service");
    ASSERT_FALSE(path);
    EXPECT_EQ(path.error().message(),
              "Bin path not exists: \"C:\\\\it\\'s caf\u00E9\\u{301} \\u{d800}"
              "\\\\vek-system-service.exe\"");
    // The platform was asked about the path with the raw unit in it.
    auto opens = calls_of("CreateFileW");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].texts[0], u"C:\\it's caf\u00E9\u0301 \xD800\\vek-system-service.exe");
}

TEST_F(LocateServiceExecutable, FailsWithTheOsErrorOfTheOwnPath) {
    fail_next("GetModuleFileNameW", 5);
    auto path = locate_service_executable("vek-system-service");
    ASSERT_FALSE(path);
    const auto* os_error = dynamic_cast<const OsError*>(&path.error().top());
    ASSERT_NE(os_error, nullptr);
    EXPECT_EQ(os_error->code(), 5);
    EXPECT_EQ(path.error().message(), "Access is denied. (os error 5)");
    EXPECT_TRUE(calls_of("CreateFileW").empty()) << "nothing else is tried";
}

}  // namespace
}  // namespace vek
