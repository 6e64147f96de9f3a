// Finding the service executable on a real file system, under Wine: deep
// folders, a folder in the executable's place, and the installer's report
// when nothing lies beside it.
#include "installer/file_system.h"
#include "installer/path_text.h"
#include "installer/service_executable.h"
#include "scm/utf.h"
#include "support/bundle.h"
#include "support/child_process.h"
#include "support/text.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

std::u16string u16(const std::wstring& text) { return {text.begin(), text.end()}; }

std::wstring environment(const wchar_t* name) {
    wchar_t buffer[4096];
    DWORD length = GetEnvironmentVariableW(name, buffer, 4096);
    return length == 0 || length >= 4096 ? std::wstring() : std::wstring(buffer, length);
}

std::wstring long_form(const std::wstring& path) { return L"\\\\?\\" + path; }

// This program's own folder of scratch files, in the bundle.
std::wstring work_root() { return vek::windows_test::bundle_file(L"work\\service_executable_test"); }

std::wstring shipped_installer() {
    return vek::windows_test::bundle_file(L"dist\\vek-system-service-setup.exe");
}

// Removes `path` with everything inside it, never following a link.
void remove_tree(const std::wstring& path) { vek::windows_test::remove_path(path); }

// Makes `path` and the folders above it below `root` (which exists).
void make_directories(const std::wstring& root, const std::wstring& path) {
    for (std::size_t at = root.size() + 1; at <= path.size(); ++at) {
        if (at == path.size() || path[at] == L'\\')
            CreateDirectoryW(long_form(path.substr(0, at)).c_str(), nullptr);
    }
}

void make_file(const std::wstring& path) {
    HANDLE file = CreateFileW(long_form(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    CloseHandle(file);
}

std::wstring own_program() {
    std::wstring buffer(32768, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), 32768);
    buffer.resize(length);
    return buffer;
}

// A path of printable characters as the report shows it, without the
// quotes: UTF-8, with backslashes, quotes and apostrophes escaped.
std::string escaped(const std::wstring& path) {
    std::string quoted = vek::windows_test::quoted_path(path);
    return quoted.substr(1, quoted.size() - 2);
}

// More than 512 characters deep: six folders of 100 characters.
std::wstring deep_directory(const std::wstring& base) {
    std::wstring path = base;
    for (int i = 0; i < 6; ++i) path += L"\\" + std::wstring(99, L'd') + std::to_wstring(i);
    return path;
}

class ServiceExecutable : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = work_root();
        remove_tree(root_);
        CreateDirectoryW(long_form(vek::windows_test::bundle_file(L"work")).c_str(), nullptr);
        ASSERT_TRUE(CreateDirectoryW(long_form(root_).c_str(), nullptr))
            << "error " << GetLastError();
    }
    void TearDown() override { remove_tree(root_); }

    std::wstring root_;
};

TEST_F(ServiceExecutable, IsFoundBesideADeepProgram) {
    std::wstring deep = deep_directory(root_ + L"\\deep");
    ASSERT_GT(deep.size(), 600u);
    make_directories(root_, deep);
    make_file(deep + L"\\vek-system-service.exe");

    std::u16string service =
        vek::replace_file_name(u16(deep + L"\\setup.exe"), u"vek-system-service.exe");
    EXPECT_EQ(service, u16(deep + L"\\vek-system-service.exe"));
    EXPECT_TRUE(vek::path_exists(service));
    EXPECT_FALSE(vek::path_exists(u16(deep + L"\\missing.exe")));
}

// A copy of this program, deep down beside a service executable, finds its
// own path through the growing buffer and the service beside it.
TEST_F(ServiceExecutable, IsFoundByADeepCopyOfAProgram) {
    std::wstring deep = deep_directory(root_ + L"\\copy");
    make_directories(root_, deep);
    make_file(deep + L"\\vek-system-service.exe");
    std::wstring copy = deep + L"\\service_executable_test.exe";
    ASSERT_TRUE(CopyFileW(long_form(own_program()).c_str(), long_form(copy).c_str(), FALSE))
        << "error " << GetLastError();

    // Under Wine a program this deep is run from the host's shell.
    vek::windows_test::ChildOptions options;
    options.arguments =
        L"--gtest_also_run_disabled_tests --gtest_filter=Child.DISABLED_LocateServiceExecutable";
    options.environment = {{L"VEK_CHILD_LOCATE", L"1"}};
    auto outcome = vek::windows_test::run_child(copy, options);

    std::string expected = "FOUND[" +
                           *vek::utf16_to_utf8(u16(deep + L"\\vek-system-service.exe")) + "]";
    EXPECT_NE(outcome.out.find(expected), std::string::npos) << outcome.out << outcome.err;
}

TEST_F(ServiceExecutable, MayBeAFolder) {
    std::wstring folder = root_ + L"\\folder\\vek-system-service.exe";
    make_directories(root_, folder);
    EXPECT_TRUE(vek::path_exists(u16(folder)));
}

// The installer alone, in a folder whose name holds a space, a single quote
// and a combining mark: exit code 1, nothing on standard output, the exact
// report on standard error.
TEST_F(ServiceExecutable, MissingIsReportedWithTheEscapedPath) {
    std::wstring installer = shipped_installer();
    std::wstring folder = root_ + L"\\it's a cafe\u0301";
    make_directories(root_, folder);
    std::wstring copy = folder + L"\\vek-system-service-setup.exe";
    ASSERT_TRUE(CopyFileW(installer.c_str(), copy.c_str(), FALSE)) << "error " << GetLastError();

    auto outcome = vek::windows_test::run_child(copy);
    EXPECT_EQ(outcome.exit_code, 1u);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "Error: Bin path not exists: \"" + escaped(root_) +
                               "\\\\it\\'s a cafe\\u{301}\\\\vek-system-service.exe\"\n");
}

TEST_F(ServiceExecutable, MissingBesideADeepInstallerIsReportedWithTheWholePath) {
    std::wstring installer = shipped_installer();
    std::wstring deep = deep_directory(root_ + L"\\lonely");
    make_directories(root_, deep);
    std::wstring copy = deep + L"\\vek-system-service-setup.exe";
    ASSERT_TRUE(CopyFileW(long_form(installer).c_str(), long_form(copy).c_str(), FALSE))
        << "error " << GetLastError();

    auto outcome = vek::windows_test::run_child(copy);
    EXPECT_EQ(outcome.exit_code, 1u);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "Error: Bin path not exists: \"" + escaped(deep) +
                               "\\\\vek-system-service.exe\"\n");
}

// Run only as the child of IsFoundByADeepCopyOfAProgram, which asks for it.
TEST(Child, DISABLED_LocateServiceExecutable) {
    if (environment(L"VEK_CHILD_LOCATE").empty()) GTEST_SKIP() << "only run as a child";
    auto path = vek::locate_service_executable("vek-system-service");
    if (path) {
        std::printf("FOUND[%s]\n", vek::utf16_to_utf8(*path).value_or("?").c_str());
    } else {
        std::printf("ERROR[%s]\n", path.error().message().c_str());
    }
    std::fflush(stdout);
}

}  // namespace
