// No DLL is loaded from the installer's own folder: a dbghelp.dll and a
// version.dll planted beside the shipped installer stay unloaded even when
// the failure report loads DbgHelp for its backtrace. The test runs with
// WINEDLLOVERRIDES preferring native dbghelp and version DLLs (Wine would
// otherwise ignore planted ones whatever the program does), and shows that it
// can fail: in the same folder a control program that loads "dbghelp.dll"
// the careless way does load the planted one.
#include "support/child_process.h"
#include "support/folders.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <string>

namespace vek::wine_test {
namespace {

std::wstring build_file(const std::string& relative) {
    return windows_path_of_host_path(environment("VEK_BUILD_DIR") + "/" + relative);
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(long_form(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

class DllPlanting : public ::testing::Test {
protected:
    void SetUp() override {
        fresh_folder(folder);
        copy_file(build_file("dist/vek-system-service-setup.exe"), folder + L"\\" + installer_file_name);
        copy_file(build_file("tests/wine/planted/load_dbghelp_plainly.exe"),
                  folder + L"\\load_dbghelp_plainly.exe");
        for (const wchar_t* dll : {L"dbghelp", L"version"})
            copy_file(build_file("tests/wine/planted/" + utf8(dll) + "/" + utf8(dll) + ".dll"),
                      folder + L"\\" + dll + L".dll");
    }
    void TearDown() override { remove_tree(folder); }

    const std::wstring folder = L"C:\\planting test";
};

TEST_F(DllPlanting, InstallerLoadsNoDllFromItsOwnFolder) {
    ASSERT_NE(environment("WINEDLLOVERRIDES").find("dbghelp,version=n,b"), std::string::npos)
        << "without native DLLs preferred, Wine ignores planted DLLs and the test proves nothing";

    // No service executable beside it: the run fails, and with the backtrace
    // switch on the report loads DbgHelp to name the frames.
    ChildOptions options;
    options.environment = {{L"VEK_BACKTRACE", L"1"}};
    ChildResult run = run_child(folder + L"\\" + installer_file_name, options);
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_TRUE(run.err.starts_with("Error: Bin path not exists: ")) << run.err;
    EXPECT_NE(run.err.find("\n\nStack backtrace:\n"), std::string::npos) << run.err;

    EXPECT_FALSE(exists(folder + L"\\dbghelp.dll.loaded")) << "the planted dbghelp.dll was loaded";
    EXPECT_FALSE(exists(folder + L"\\version.dll.loaded")) << "the planted version.dll was loaded";
}

TEST_F(DllPlanting, CarelessLoaderInTheSameSetUpLoadsThePlantedDll) {
    ChildResult run = run_child(folder + L"\\load_dbghelp_plainly.exe");
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_TRUE(exists(folder + L"\\dbghelp.dll.loaded"))
        << "the control did not load the planted DLL: the set-up cannot catch planting";
}

}  // namespace
}  // namespace vek::wine_test
