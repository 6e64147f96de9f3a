// A stand-in for a test program, for the runner's self-test: what it does
// follows from the name it was copied to.
//
//   crashes_test.exe          ends as a crash does (0xC0000005) before
//                             writing any counts
//   exits_3_test.exe          writes the counts "1 0 0" (one passed, none
//                             failed), then exits with 3
//   no_tests_test.exe         writes the counts "0 0 0" (no test at all) and
//                             exits with 0
//   leaves_service_test.exe   registers the service vek-scm-client-test
//                             (this program as its program), writes "1 0 0"
//                             and exits with 0, leaving the service behind;
//                             with any of GoogleTest's variables that select,
//                             repeat or shard tests set (the runner clears
//                             them) it writes nothing and exits with 5
//   hangs_test.exe            starts a copy of itself that holds the file
//                             "hangs_test child.lock" beside it open for a
//                             minute, and never ends
//   bundle-helper.exe         a bundle helper whose finish crashes
//                             (0xC0000005); exit 0 for every other command
#include <windows.h>

#include <string>

namespace {

std::wstring own_path() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length < MAX_PATH ? length : 0);
}

std::wstring own_name() {
    std::wstring name = own_path();
    name.erase(0, name.find_last_of(L'\\') + 1);
    return name;
}

// The counts, where the runner asked for them, as a test program writes them.
void write_counts(const char* line) {
    wchar_t path[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"VEK_TEST_RESULT", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(lstrlenA(line)), &written, nullptr);
    CloseHandle(file);
}

bool register_service() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    std::wstring command_line = L"\"" + std::wstring(path, length) + L"\"";
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) return false;
    SC_HANDLE service = CreateServiceW(manager, L"vek-scm-client-test", L"vek-scm-client-test",
                                       SERVICE_QUERY_STATUS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                       command_line.c_str(), nullptr, nullptr, nullptr, nullptr,
                                       nullptr);
    if (service != nullptr) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return service != nullptr;
}

}  // namespace

int main() {
    std::wstring name = own_name();
    std::wstring command_line = GetCommandLineW();
    if (name == L"crashes_test.exe") TerminateProcess(GetCurrentProcess(), 0xC0000005);
    if (name == L"exits_3_test.exe") {
        write_counts("1 0 0\r\n");
        return 3;
    }
    if (name == L"no_tests_test.exe") {
        write_counts("0 0 0\r\n");
        return 0;
    }
    if (name == L"leaves_service_test.exe") {
        for (const wchar_t* variable :
             {L"GTEST_FILTER", L"GTEST_ALSO_RUN_DISABLED_TESTS", L"GTEST_REPEAT",
              L"GTEST_FAIL_FAST", L"GTEST_SHARD_INDEX", L"GTEST_TOTAL_SHARDS",
              L"GTEST_SHARD_STATUS_FILE"})
            if (GetEnvironmentVariableW(variable, nullptr, 0) > 0) return 5;
        if (!register_service()) return 4;
        write_counts("1 0 0\r\n");
        return 0;
    }
    if (name == L"hangs_test.exe" && command_line.ends_with(L" child")) {
        std::wstring held = own_path();
        held.replace(held.find_last_of(L'\\') + 1, std::wstring::npos, L"hangs_test child.lock");
        CreateFileW(held.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        Sleep(60 * 1000);
        return 0;
    }
    if (name == L"hangs_test.exe") {
        std::wstring child = L"\"" + own_path() + L"\" child";
        // Without standard streams: what waits for the end of this one's
        // output must not wait for the child's.
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        PROCESS_INFORMATION process{};
        CreateProcessW(own_path().c_str(), child.data(), nullptr, nullptr, FALSE,
                       DETACHED_PROCESS, nullptr, nullptr, &startup, &process);
        Sleep(INFINITE);
    }
    if (name == L"bundle-helper.exe" && command_line.ends_with(L" finish"))
        TerminateProcess(GetCurrentProcess(), 0xC0000005);
    if (name == L"bundle-helper.exe") return 0;
    return 2;
}
