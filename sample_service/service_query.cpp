// vek-service-query: prints the vek-system-service registration and state as
// the service control manager reports them. A helper of the demo, not part of
// the product (Wine's sc.exe has no "qc").
//
// Exit code 0 when the service is registered, 1 when it is not (or cannot be
// read). With --wait it first waits up to 30 s while the service is on its
// way to a settled state, since a start is answered before it completes.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr wchar_t service_name[] = L"vek-system-service";

const char* state_name(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED: return "STOPPED";
        case SERVICE_START_PENDING: return "START_PENDING";
        case SERVICE_STOP_PENDING: return "STOP_PENDING";
        case SERVICE_RUNNING: return "RUNNING";
        case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
        case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
        case SERVICE_PAUSED: return "PAUSED";
        default: return "?";
    }
}

const char* start_type_name(DWORD type) {
    switch (type) {
        case SERVICE_BOOT_START: return "BOOT_START";
        case SERVICE_SYSTEM_START: return "SYSTEM_START";
        case SERVICE_AUTO_START: return "AUTO_START";
        case SERVICE_DEMAND_START: return "DEMAND_START";
        case SERVICE_DISABLED: return "DISABLED";
        default: return "?";
    }
}

// UTF-8 on standard output, whatever the console's code page.
void print_text(const char* label, const wchar_t* text) {
    char buffer[4096] = "";
    if (text != nullptr)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, nullptr, nullptr);
    std::printf("        %-19s: %s\n", label, buffer);
}

bool query_status(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&status), sizeof status, &needed) != 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool wait = argc > 1 && std::strcmp(argv[1], "--wait") == 0;

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        std::printf("cannot connect to the service control manager (error %lu)\n", GetLastError());
        return 1;
    }
    SC_HANDLE service = OpenServiceW(manager, service_name, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    if (service == nullptr) {
        std::printf("vek-system-service is not registered (error %lu)\n", GetLastError());
        CloseServiceHandle(manager);
        return 1;
    }

    int exit_code = 0;
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<BYTE> config_buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config_buffer.data());
    needed = 0;
    QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
    std::vector<BYTE> description_buffer(needed + sizeof(SERVICE_DESCRIPTIONW));
    auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(description_buffer.data());

    if (QueryServiceConfigW(service, config, static_cast<DWORD>(config_buffer.size()), &needed) &&
        QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, description_buffer.data(),
                             static_cast<DWORD>(description_buffer.size()), &needed)) {
        std::printf("Registration (QueryServiceConfigW, QueryServiceConfig2W):\n");
        std::printf("        %-19s: 0x%lx\n", "TYPE", config->dwServiceType);
        std::printf("        %-19s: %lu  %s\n", "START_TYPE", config->dwStartType,
                    start_type_name(config->dwStartType));
        std::printf("        %-19s: %lu\n", "ERROR_CONTROL", config->dwErrorControl);
        print_text("BINARY_PATH_NAME", config->lpBinaryPathName);
        print_text("DISPLAY_NAME", config->lpDisplayName);
        print_text("DESCRIPTION", description->lpDescription);
        print_text("SERVICE_START_NAME", config->lpServiceStartName);
    } else {
        std::printf("cannot read the registration (error %lu)\n", GetLastError());
        exit_code = 1;
    }

    SERVICE_STATUS_PROCESS status{};
    bool have_status = query_status(service, status);
    for (int waited = 0; wait && have_status && waited < 300 &&
                         (status.dwCurrentState == SERVICE_START_PENDING ||
                          status.dwCurrentState == SERVICE_STOP_PENDING ||
                          status.dwCurrentState == SERVICE_CONTINUE_PENDING ||
                          status.dwCurrentState == SERVICE_PAUSE_PENDING);
         ++waited) {
        Sleep(100);
        have_status = query_status(service, status);
    }
    if (have_status) {
        std::printf("State (QueryServiceStatusEx):\n");
        std::printf("        %-19s: %lu  %s\n", "STATE", status.dwCurrentState,
                    state_name(status.dwCurrentState));
        std::printf("        %-19s: %lu\n", "WIN32_EXIT_CODE", status.dwWin32ExitCode);
        std::printf("        %-19s: %lu\n", "PID", status.dwProcessId);
    } else {
        std::printf("cannot read the state (error %lu)\n", GetLastError());
        exit_code = 1;
    }

    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return exit_code;
}
