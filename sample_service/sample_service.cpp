// vek-system-service: a minimal Windows service program.
//
// This is the demo's payload and the scenario tests' real service, not part of
// the product. It does nothing but follow the service protocol correctly:
// connect to the service control manager, report start-pending then running,
// obey stop, pause and continue, and report stopped before it exits.
//
// For the tests it can also misbehave as real services do. The installer
// registers the program with no arguments, so the tests ask for that through
// files beside the program, named vek-system-service.<flag>, which it looks
// for at the moment it needs to know:
//   stop-at-once     (at the start) it fails as soon as it has started, with
//                    exit code 2, as a service missing its configuration might;
//   stop-slowly      (at a stop request) it stays stop-pending, reporting
//                    progress, for slow_stop_ms before it stops.
//
// Run from a console (not by the manager) it says so and exits with 1.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr wchar_t service_name[] = L"vek-system-service";

SERVICE_STATUS_HANDLE status_handle = nullptr;
// The status is reported from two threads (the service's main function and
// the control handler on the dispatcher's thread), so it is changed and sent
// under this lock.
SRWLOCK status_lock = SRWLOCK_INIT;
SERVICE_STATUS status{};
// Signalled by the control handler when a stop is requested; the service's
// main function waits on it.
HANDLE stop_event = nullptr;

// Reports `state` to the manager. Pending states carry a rising checkpoint and
// a wait hint so the manager sees progress; settled states reset both.
void report(DWORD state, DWORD exit_code = NO_ERROR, DWORD wait_hint_ms = 0) {
    AcquireSRWLockExclusive(&status_lock);
    static DWORD checkpoint = 1;
    status.dwCurrentState = state;
    status.dwWin32ExitCode = exit_code;
    status.dwWaitHint = wait_hint_ms;
    // No controls while starting or stopping: the manager must not send any.
    status.dwControlsAccepted = (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
                                 state == SERVICE_STOPPED)
                                    ? 0
                                    : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
    const bool settled = state == SERVICE_RUNNING || state == SERVICE_STOPPED ||
                         state == SERVICE_PAUSED;
    status.dwCheckPoint = settled ? 0 : checkpoint++;
    SetServiceStatus(status_handle, &status);
    ReleaseSRWLockExclusive(&status_lock);
}

// Runs on the dispatcher's thread. Stop only signals the main function, which
// reports stopped itself; pause and continue need no work here, so they are
// answered at once.
DWORD WINAPI control_handler(DWORD control, DWORD, void*, void*) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            report(SERVICE_STOP_PENDING, NO_ERROR, 3000);
            SetEvent(stop_event);
            return NO_ERROR;
        case SERVICE_CONTROL_PAUSE:
            report(SERVICE_PAUSED);
            return NO_ERROR;
        case SERVICE_CONTROL_CONTINUE:
            report(SERVICE_RUNNING);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            // The manager wants the current status again.
            AcquireSRWLockExclusive(&status_lock);
            SetServiceStatus(status_handle, &status);
            ReleaseSRWLockExclusive(&status_lock);
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Long enough to keep a stop in progress while a test acts meanwhile (a
// second msiexec while the package's own stop waits), and within the 30
// seconds that stop waits.
constexpr DWORD slow_stop_ms = 15000;

// Whether the file vek-system-service.<name> lies beside the program.
bool flag_set(const wchar_t* name) {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    std::wstring flag(path, length);
    flag = flag.substr(0, flag.find_last_of(L'\\') + 1) + L"vek-system-service." + name;
    return GetFileAttributesW(flag.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WINAPI service_main(DWORD, wchar_t**) {
    status_handle = RegisterServiceCtrlHandlerExW(service_name, control_handler, nullptr);
    if (status_handle == nullptr) return;  // Nobody to report to.

    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;  // before any control can arrive
    report(SERVICE_START_PENDING, NO_ERROR, 3000);

    stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stop_event == nullptr) {
        report(SERVICE_STOPPED, GetLastError());
        return;
    }
    // A service that fails as soon as it has started, for the tests: with a
    // file of this name beside the program, it stops at once with exit code
    // 2 (ERROR_FILE_NOT_FOUND), as a service missing its configuration might.
    if (flag_set(L"stop-at-once")) {
        CloseHandle(stop_event);
        report(SERVICE_STOPPED, ERROR_FILE_NOT_FOUND);
        return;
    }
    report(SERVICE_RUNNING);

    WaitForSingleObject(stop_event, INFINITE);

    // The slow stop the tests asked for. Progress is reported once a second,
    // as a service with work to finish does.
    const ULONGLONG stop_started = GetTickCount64();
    const bool slowly = flag_set(L"stop-slowly");
    while (slowly && GetTickCount64() - stop_started < slow_stop_ms) {
        report(SERVICE_STOP_PENDING, NO_ERROR, 3000);
        Sleep(1000);
    }

    CloseHandle(stop_event);
    // After this report the manager may end the process at any moment, so it
    // is the last thing done.
    report(SERVICE_STOPPED);
}

}  // namespace

int main() {
    SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<wchar_t*>(service_name), service_main},
        {nullptr, nullptr},
    };
    // Returns when the service has stopped.
    if (!StartServiceCtrlDispatcherW(table)) {
        DWORD error = GetLastError();
        if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
            std::fputs("vek-system-service runs as a service; register it with "
                       "vek-system-service-setup.exe.\n",
                       stderr);
        else
            std::fprintf(stderr, "vek-system-service: the service dispatcher failed (error %lu).\n",
                         error);
        return 1;
    }
    return 0;
}
