// A stand-in for a test program, for the runner's self-test: what it does
// follows from the name it was copied to.
//
//   crashes_test.exe          ends as a crash does (0xC0000005) before
//                             writing any counts
//   exits_3_test.exe          writes the counts "1 0 0" (one passed, none
//                             failed), then exits with 3
//   leaves_service_test.exe   registers the service vek-scm-client-test
//                             (this program as its program), writes "1 0 0"
//                             and exits with 0, leaving the service behind;
//                             with GTEST_FILTER set (the runner clears it) it
//                             writes nothing and exits with 5
//   hangs_test.exe            never ends
#include <windows.h>

#include <string>

namespace {

std::wstring own_name() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name(path, length < MAX_PATH ? length : 0);
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
    if (name == L"crashes_test.exe") TerminateProcess(GetCurrentProcess(), 0xC0000005);
    if (name == L"exits_3_test.exe") {
        write_counts("1 0 0\r\n");
        return 3;
    }
    if (name == L"leaves_service_test.exe") {
        if (GetEnvironmentVariableW(L"GTEST_FILTER", nullptr, 0) > 0) return 5;
        if (!register_service()) return 4;
        write_counts("1 0 0\r\n");
        return 0;
    }
    if (name == L"hangs_test.exe") Sleep(INFINITE);
    return 2;
}
