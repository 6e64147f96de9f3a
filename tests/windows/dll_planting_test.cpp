// No DLL is loaded from the installer's own folder: a dbghelp.dll and a
// version.dll planted beside the shipped installer stay unloaded even when
// the failure report loads DbgHelp for its backtrace. Under Wine the test
// has the two programs prefer native dbghelp and version DLLs (Wine would
// otherwise ignore planted ones whatever the program does), and it shows
// that it can fail: in the same folder a control program that loads
// "dbghelp.dll" the careless way does load the planted one.
#include "support/child_process.h"
#include "support/folders.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <string>

namespace vek::windows_test {
namespace {

class DllPlanting : public ::testing::Test {
protected:
    void SetUp() override {
        folder = scenario_folder(L"planting test");
        copy_file(built_installer(), folder + L"\\" + installer_file_name);
        copy_file(bundle_file(L"tests\\planted\\load_dbghelp_plainly.exe"),
                  folder + L"\\load_dbghelp_plainly.exe");
        for (std::wstring dll : {L"dbghelp", L"version"})
            copy_file(bundle_file(L"tests\\planted\\" + dll + L"\\" + dll + L".dll"),
                      folder + L"\\" + dll + L".dll");
        if (under_wine()) prefer_native_dlls(true);
    }
    void TearDown() override {
        if (under_wine()) prefer_native_dlls(false);
        remove_tree(folder);
    }

    // Wine loads its own builtin DLLs whatever lies beside a program unless
    // told to prefer native ones; then a planted DLL is loaded wherever the
    // search order reaches it, as on Windows. Told per program in Wine's
    // registry (WINEDLLOVERRIDES would do too, but only in the Unix
    // environment a process is started with, which this test does not
    // control).
    static void prefer_native_dlls(bool prefer) {
        for (const wchar_t* program : {installer_file_name, L"load_dbghelp_plainly.exe"}) {
            std::wstring key = std::wstring(L"Software\\Wine\\AppDefaults\\") + program +
                               L"\\DllOverrides";
            for (const wchar_t* dll : {L"dbghelp", L"version"}) {
                LSTATUS status;
                if (prefer) {
                    const wchar_t order[] = L"native,builtin";
                    status = RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), dll, REG_SZ, order,
                                             sizeof order);
                } else {
                    status = RegDeleteKeyValueW(HKEY_CURRENT_USER, key.c_str(), dll);
                }
                EXPECT_EQ(status, ERROR_SUCCESS) << utf8(key) << " " << utf8(dll);
            }
        }
    }

    std::wstring folder;
};

TEST_F(DllPlanting, InstallerLoadsNoDllFromItsOwnFolder) {
    // No service executable beside it: the run fails, and with the backtrace
    // switch on the report loads DbgHelp to name the frames.
    ChildOptions options;
    options.environment.emplace_back(L"VEK_BACKTRACE", L"1");
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
}  // namespace vek::windows_test
