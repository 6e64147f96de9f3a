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
#include <thread>

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

std::string read_all(HANDLE pipe) {
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    return text;
}

struct Outcome {
    DWORD exit_code = 0xFFFFFFFF;
    std::string out;
    std::string err;
};

using vek::windows_test::under_wine;

// A path as the host sees it, under Wine.
std::wstring linux_path(const std::wstring& windows) {
    return vek::windows_test::wide(vek::windows_test::host_path(windows));
}

std::string read_file(const std::wstring& path) {
    std::string text;
    HANDLE file = CreateFileW(long_form(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return text;
    text = read_all(file);
    CloseHandle(file);
    return text;
}

// Wine starts no Windows program deeper than MAX_PATH (CreateProcessW fails
// with 2), but its own launcher does, given the Linux path. A Linux process
// started from Wine does not take standard handles, so the shell sends the
// streams and the exit code to files in `scratch`.
Outcome run_through_wine_launcher(const std::wstring& program, const std::wstring& arguments,
                                  const std::wstring& scratch) {
    Outcome outcome;
    std::wstring out = scratch + L"\\launch.out", err = scratch + L"\\launch.err",
                 code = scratch + L"\\launch.code";
    std::wstring command_line = L"sh -c \"wine '" + linux_path(program) + L"' " + arguments +
                                L" >'" + linux_path(out) + L"' 2>'" + linux_path(err) +
                                L"'; echo $? >'" + linux_path(code) + L".part'; mv '" +
                                linux_path(code) + L".part' '" + linux_path(code) + L"'\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\bin\\sh", command_line.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &process)) {
        ADD_FAILURE() << "starting the launcher failed with " << GetLastError();
        return outcome;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hProcess);
    // The code file appears last, whole.
    for (int waited = 0; waited < 600; ++waited) {
        if (GetFileAttributesW(long_form(code).c_str()) != INVALID_FILE_ATTRIBUTES) break;
        Sleep(100);
    }
    std::string code_text = read_file(code);
    if (code_text.empty()) {
        ADD_FAILURE() << "the launcher gave no exit code";
        return outcome;
    }
    outcome.exit_code = static_cast<DWORD>(std::stoul(code_text));
    outcome.out = read_file(out);
    outcome.err = read_file(err);
    return outcome;
}

// Runs `program` with `arguments`, its standard output and error read
// through pipes, and waits for it to end. A program deeper than MAX_PATH is
// started by its verbatim path, or under Wine through its launcher, with
// `scratch` as a folder for its output.
Outcome run(const std::wstring& program, const std::wstring& arguments,
            const std::wstring& scratch = {}) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out_read, out_write, err_read, err_write;
    CreatePipe(&out_read, &out_write, &inherit, 0);
    CreatePipe(&err_read, &err_write, &inherit, 0);
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;
    std::wstring application = program.size() < MAX_PATH ? program : long_form(program);
    std::wstring command_line = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                  0, nullptr, nullptr, &startup, &process);
    DWORD start_error = GetLastError();
    CloseHandle(out_write);
    CloseHandle(err_write);
    if (!started) {
        CloseHandle(out_read);
        CloseHandle(err_read);
        if (under_wine() && !scratch.empty())
            return run_through_wine_launcher(program, arguments, scratch);
        ADD_FAILURE() << "CreateProcessW failed with " << start_error;
        return {};
    }
    Outcome outcome;
    std::thread err_reader([&] { outcome.err = read_all(err_read); });
    outcome.out = read_all(out_read);
    err_reader.join();
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &outcome.exit_code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(out_read);
    CloseHandle(err_read);
    return outcome;
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

    SetEnvironmentVariableW(L"VEK_CHILD_LOCATE", L"1");
    Outcome outcome = run(copy,
                          L"--gtest_also_run_disabled_tests "
                          L"--gtest_filter=Child.DISABLED_LocateServiceExecutable",
                          root_);
    SetEnvironmentVariableW(L"VEK_CHILD_LOCATE", nullptr);

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

    Outcome outcome = run(copy, L"");
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

    Outcome outcome = run(copy, L"", root_);
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
