// A stand-in for a test program, for the runner's own test: what it does
// follows from the name it was copied to. Where asked (--gtest_output=xml:
// PATH, as the runner asks), it writes a report as GoogleTest does.
//
//   passes_test.exe          one passed test
//   fails_test.exe           one failed test, exit code 1
//   crashes_test.exe         ends as a crash does (0xC0000005), no report
//   exits_3_test.exe         one passed test, then exit code 3
//   no_tests_test.exe        a report of no test at all
//   leaves_service_test.exe  registers the service vek-scm-client-test (this
//                            program as its program) and reports one passed
//                            test, leaving the service behind; with any of
//                            GoogleTest's variables that select, repeat or
//                            shard tests set (the runner clears them) it
//                            writes nothing and exits with 5
//   leaves_folder_test.exe   makes C:\vek-scenarios with the tests' marker
//                            and a file, and reports one passed test
//   hangs_test.exe           starts a copy of itself that holds the file
//                            "hangs_test child.lock" beside it open for
//                            ten minutes, and never ends
//   bundle-helper.exe        a runner that crashes (0xC0000005)
#include "support/process.h"

#include <sddl.h>

#include <string>

namespace {

std::wstring own_path() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length < MAX_PATH ? length : 0);
}

// Owned by Administrators, as the tests' own folders are: a folder whose
// owner a standard user could be is never the tests' own.
SECURITY_ATTRIBUTES* administrators_own() {
    static SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
    if (security.lpSecurityDescriptor == nullptr)
        ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1,
            &security.lpSecurityDescriptor, nullptr);
    return &security;
}

void write(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, administrators_own(), CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

// The report the runner asked for, as GoogleTest writes it, of `cases`.
void report(const std::wstring& command_line, const std::string& cases) {
    const std::wstring flag = L"--gtest_output=xml:";
    std::size_t at = command_line.find(flag);
    if (at == std::wstring::npos) return;
    std::wstring path = command_line.substr(at + flag.size());
    path = path.substr(0, path.find(L'"'));
    write(path,
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"AllTests\">\n"
          "  <testsuite name=\"Stand\">\n" +
              cases + "  </testsuite>\n</testsuites>\n");
}

const std::string passed =
    "    <testcase name=\"In\" status=\"run\" result=\"completed\" classname=\"Stand\" />\n";
const std::string failed =
    "    <testcase name=\"In\" status=\"run\" result=\"completed\" classname=\"Stand\">\n"
    "      <failure message=\"as asked\" type=\"\"></failure>\n    </testcase>\n";

bool register_service() {
    std::wstring command_line = L"\"" + own_path() + L"\"";
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) return false;
    SC_HANDLE service = CreateServiceW(
        manager, L"vek-scm-client-test", L"vek-scm-client-test", SERVICE_QUERY_STATUS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, command_line.c_str(),
        nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service != nullptr) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return service != nullptr;
}

}  // namespace

int main() {
    std::wstring path = own_path();
    std::wstring name = path.substr(path.find_last_of(L'\\') + 1);
    std::wstring command_line = GetCommandLineW();
    if (name == L"crashes_test.exe" || name == L"bundle-helper.exe")
        TerminateProcess(GetCurrentProcess(), 0xC0000005);
    if (name == L"passes_test.exe") return report(command_line, passed), 0;
    if (name == L"fails_test.exe") return report(command_line, failed), 1;
    if (name == L"exits_3_test.exe") return report(command_line, passed), 3;
    if (name == L"no_tests_test.exe") return report(command_line, ""), 0;
    if (name == L"leaves_service_test.exe") {
        for (const wchar_t* variable : {L"GTEST_FILTER", L"GTEST_ALSO_RUN_DISABLED_TESTS",
                                        L"GTEST_REPEAT", L"GTEST_FAIL_FAST", L"GTEST_SHARD_INDEX",
                                        L"GTEST_TOTAL_SHARDS", L"GTEST_SHARD_STATUS_FILE"})
            if (GetEnvironmentVariableW(variable, nullptr, 0) > 0) return 5;
        if (!register_service()) return 4;
        return report(command_line, passed), 0;
    }
    if (name == L"leaves_folder_test.exe") {
        CreateDirectoryW(L"C:\\vek-scenarios", administrators_own());
        write(L"C:\\vek-scenarios\\vek-tests.marker", "");
        write(L"C:\\vek-scenarios\\left behind.txt", "");
        return report(command_line, passed), 0;
    }
    if (name == L"hangs_test.exe" && command_line.ends_with(L" child")) {
        std::wstring held = path.substr(0, path.find_last_of(L'\\') + 1) + L"hangs_test child.lock";
        CreateFileW(held.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        Sleep(10 * 60 * 1000);
        return 0;
    }
    if (name == L"hangs_test.exe") {
        // Without standard streams: what waits for the end of this one's
        // output must not wait for the child's.
        vek::windows_test::ProcessOptions child;
        child.arguments = L"child";
        child.out = child.err = vek::windows_test::Stream::none;
        child.wait = false;
        vek::windows_test::run_process(path, child);
        Sleep(INFINITE);
    }
    return 2;
}
