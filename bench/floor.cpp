// bench/floor: the least any program can do to install vek-system-service.
//
// It makes the same service-manager calls as vek-system-service-setup.exe,
// with the same arguments and in the same order, and nothing else: it finds
// the service program beside itself with GetModuleFileNameW (as the installer
// does) but does not check that it exists, converts no text, allocates
// nothing and prints nothing on success. The benchmark times it against the
// installer, so whatever the installer costs beyond this program is its own
// overhead.
//
//   first install:  OpenSCManagerW, OpenServiceW (fails), CreateServiceW,
//                   ChangeServiceConfig2W, StartServiceW, close, close
//   re-run:         OpenSCManagerW, OpenServiceW, QueryServiceStatusEx,
//                   (StartServiceW if stopped or paused), close, close
//
// Exit code 0 on success; on a failed call it names the call and the error
// code on standard error and exits with 1, so the benchmark never times a run
// that did not do the job.
#include <windows.h>

#include <cstdio>

namespace {

constexpr wchar_t service_name[] = L"vek-system-service";
constexpr wchar_t display_name[] = L"Vek System Service";
constexpr wchar_t executable_name[] = L"vek-system-service.exe";
wchar_t description_text[] = L"Vek system service";

constexpr DWORD manager_access = SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE;  // 0x3
constexpr DWORD open_access = SERVICE_QUERY_STATUS | SERVICE_START;               // 0x14
constexpr DWORD create_access = SERVICE_CHANGE_CONFIG | SERVICE_START;            // 0x12

// Room for a long path; the installer grows its buffer instead, which a
// benchmark folder never needs.
constexpr DWORD path_capacity = 32768;
wchar_t module_path[path_capacity];
// The quoted command line: at most every unit doubled, plus quotes.
wchar_t command_line[2 * path_capacity + 3];

int fail(const char* call) {
    const DWORD error = GetLastError();
    std::fprintf(stderr, "floor: %s failed with %lu\n", call, error);
    return 1;
}

bool needs_quoting(const wchar_t* text) {
    if (*text == L'\0') return true;
    for (; *text != L'\0'; ++text) {
        switch (*text) {
            case L'"': case L' ': case L'\n': case L'\t': case L'\v': return true;
            default: break;
        }
    }
    return false;
}

// The installer's command-line quoting: bare when nothing needs quoting,
// otherwise in double quotes with backslashes doubled before a quote or the
// closing quote. Writes into `out`, which has room for the worst case.
void quote_into(const wchar_t* text, wchar_t* out) {
    if (!needs_quoting(text)) {
        while ((*out++ = *text++) != L'\0') {}
        return;
    }
    *out++ = L'"';
    for (;;) {
        unsigned backslashes = 0;
        while (*text == L'\\') { ++backslashes; ++text; }
        if (*text == L'\0') {
            for (unsigned i = 0; i < 2 * backslashes; ++i) *out++ = L'\\';
            break;
        }
        if (*text == L'"') {
            for (unsigned i = 0; i < 2 * backslashes + 1; ++i) *out++ = L'\\';
        } else {
            for (unsigned i = 0; i < backslashes; ++i) *out++ = L'\\';
        }
        *out++ = *text++;
    }
    *out++ = L'"';
    *out = L'\0';
}

bool should_start(DWORD state) {
    return state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING ||
           state == SERVICE_PAUSE_PENDING || state == SERVICE_PAUSED;
}

}  // namespace

int main() {
    const DWORD length = GetModuleFileNameW(nullptr, module_path, path_capacity);
    if (length == 0 || length >= path_capacity) return fail("GetModuleFileNameW");
    // Replace the file name with the service program's.
    DWORD cut = length;
    while (cut > 0 && module_path[cut - 1] != L'\\' && module_path[cut - 1] != L'/') --cut;
    if (cut + sizeof executable_name / sizeof executable_name[0] > path_capacity)
        return fail("GetModuleFileNameW");
    for (DWORD i = 0; i < sizeof executable_name / sizeof executable_name[0]; ++i)
        module_path[cut + i] = executable_name[i];

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, manager_access);
    if (manager == nullptr) return fail("OpenSCManagerW");

    int result = 0;
    if (SC_HANDLE service = OpenServiceW(manager, service_name, open_access)) {
        SERVICE_STATUS_PROCESS status;
        DWORD needed = 0;
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                 sizeof status, &needed)) {
            if (should_start(status.dwCurrentState) && !StartServiceW(service, 0, nullptr))
                result = fail("StartServiceW");
            CloseServiceHandle(service);
            CloseServiceHandle(manager);
            return result;
        }
        // As the installer does: a service it cannot query is registered anew,
        // and the manager's answer decides.
        CloseServiceHandle(service);
    }

    quote_into(module_path, command_line);
    SC_HANDLE service = CreateServiceW(manager, service_name, display_name, create_access,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                       SERVICE_ERROR_NORMAL, command_line, nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
    if (service == nullptr) {
        result = fail("CreateServiceW");
        CloseServiceHandle(manager);
        return result;
    }
    SERVICE_DESCRIPTIONW description{description_text};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description))
        result = fail("ChangeServiceConfig2W");
    else if (!StartServiceW(service, 0, nullptr))
        result = fail("StartServiceW");
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}
