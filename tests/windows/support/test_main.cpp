// The main of every test program of the bundle: GoogleTest's, plus two
// things the bundle's runner needs.
// - With VEK_TEST_RESULT naming a file (name.result), the program writes its
//   counts there at its end, as one line "<passed> <failed> <skipped>", and
//   beside it (name.skipped) a line "skipped <test>: <why>" for each skipped
//   test, so that the runner counts test cases rather than programs and
//   names what was skipped. A program that crashes writes nothing, and the
//   runner counts it as failed.
// - At its end it removes the tests' folder outside the bundle
//   (C:\vek-scenarios), which carries the tests' marker, so that a program
//   run on its own leaves nothing behind either.
#include "folders.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

using namespace vek::windows_test;

// What GTEST_SKIP() was told, on one line.
std::string skip_reason(const ::testing::TestResult& result) {
    std::string reason;
    for (int i = 0; i < result.total_part_count(); ++i) {
        const ::testing::TestPartResult& part = result.GetTestPartResult(i);
        if (part.type() == ::testing::TestPartResult::kSkip) reason = part.message();
    }
    if (reason.starts_with("Skipped\n")) reason.erase(0, 8);
    for (char& c : reason)
        if (c == '\r' || c == '\n') c = ' ';
    return reason;
}

// The runner's line of counts, and the skipped tests by name.
class ResultFile final : public ::testing::EmptyTestEventListener {
public:
    explicit ResultFile(std::wstring path) : path_(std::move(path)) {}

    void OnTestProgramEnd(const ::testing::UnitTest& unit) override {
        write(path_, std::to_string(unit.successful_test_count()) + " " +
                         std::to_string(unit.failed_test_count()) + " " +
                         std::to_string(unit.skipped_test_count()) + "\r\n");
        std::string line;
        for (int i = 0; i < unit.total_test_suite_count(); ++i) {
            const ::testing::TestSuite& suite = *unit.GetTestSuite(i);
            for (int j = 0; j < suite.total_test_count(); ++j) {
                const ::testing::TestInfo& test = *suite.GetTestInfo(j);
                if (test.should_run() && test.result()->Skipped())
                    line += "skipped " + std::string(suite.name()) + "." + test.name() + ": " +
                            skip_reason(*test.result()) + "\r\n";
            }
        }
        write(path_.substr(0, path_.rfind(L'.')) + L".skipped", line);
    }

private:
    static void write(const std::wstring& path, const std::string& text) {
        HANDLE file = CreateFileW(long_form(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "cannot write %ls: error %lu\n", path.c_str(), GetLastError());
            return;
        }
        DWORD written = 0;
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(file);
    }

    std::wstring path_;
};

class ScratchFolders final : public ::testing::Environment {
public:
    void TearDown() override { remove_scenarios_root(); }
};

// The result file's full path, fixed at the start: the runner names it
// relative to the folder it runs in.
std::wstring result_file() {
    wchar_t name[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"VEK_TEST_RESULT", name, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    DWORD size = GetFullPathNameW(name, 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    length = GetFullPathNameW(name, size, full.data(), nullptr);
    if (length == 0 || length >= size) return {};
    full.resize(length);
    // Not handed down: a child that is a test program too must not write it.
    SetEnvironmentVariableW(L"VEK_TEST_RESULT", nullptr);
    return full;
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::wstring result = result_file();
    if (!result.empty())
        ::testing::UnitTest::GetInstance()->listeners().Append(new ResultFile(result));
    ::testing::AddGlobalTestEnvironment(new ScratchFolders);
    return RUN_ALL_TESTS();
}
