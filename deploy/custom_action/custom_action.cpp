// The custom actions of the Windows Installer package, in a DLL that the
// package carries in its Binary table:
//   RegisterService   (deferred, as LocalSystem) runs the installed
//                     vek-system-service-setup.exe, named by its
//                     CustomActionData, without a window, and writes each of
//                     its lines into the installation's log;
//   UndoRegistration  (rollback) stops and deletes the registration that a
//                     failed first install made.
// Nothing runs through a shell, and no process but the installer program is
// started.
#include "registration.h"

#include "installer/vek_service.h"
#include "scm/utf.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

static_assert(sizeof(wchar_t) == sizeof(char16_t));

namespace vek::custom_action {
namespace {

const wchar_t* w(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;
struct ServiceHandleCloser {
    void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ServiceHandle = std::unique_ptr<SC_HANDLE__, ServiceHandleCloser>;

// How long the installer program may run: it waits for nothing but the
// service manager's answers (a start is answered within 30 seconds).
constexpr DWORD program_time_limit_ms = 5 * 60 * 1000;

ServiceHandle open_service(DWORD access, DWORD& error) {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        error = GetLastError();
        return nullptr;
    }
    const std::u16string name = utf8_to_utf16(service_key_name);
    ServiceHandle service(OpenServiceW(manager.get(), w(name), access));
    if (!service) error = GetLastError();
    return service;
}

std::u16string decimal(DWORD value) { return utf8_to_utf16(std::to_string(value)); }

class InstallerHost final : public ActionHost {
public:
    explicit InstallerHost(MSIHANDLE install) : install_(install) {}

    std::optional<std::uint32_t> registered_start_type() override {
        DWORD error = 0;
        ServiceHandle service = open_service(SERVICE_QUERY_CONFIG, error);
        if (!service) return std::nullopt;
        DWORD needed = 0;
        QueryServiceConfigW(service.get(), nullptr, 0, &needed);
        std::vector<unsigned char> buffer(needed);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (needed == 0 || !QueryServiceConfigW(service.get(), config, needed, &needed))
            return std::nullopt;
        return config->dwStartType;
    }

    ProgramRun run(std::u16string_view program,
                   const std::function<void(std::string_view)>& output) override {
        const std::u16string path(program);
        // One pipe for standard output and error, as a console would show
        // them; standard input is NUL. The child inherits exactly these two
        // handles, and no console window is made for it.
        SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
        HANDLE read_end = nullptr, write_end = nullptr;
        if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) return not_started(u"CreatePipe");
        Handle reader(read_end), writer(write_end);
        SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
        Handle nul(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inheritable, OPEN_EXISTING, 0, nullptr));
        if (nul.get() == INVALID_HANDLE_VALUE) {
            nul.release();
            return not_started(u"CreateFileW(NUL)");
        }

        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        std::vector<unsigned char> list_buffer(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_buffer.data());
        if (!InitializeProcThreadAttributeList(list, 1, 0, &size))
            return not_started(u"InitializeProcThreadAttributeList");
        HANDLE inherited[] = {write_end, nul.get()};
        if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                       sizeof inherited, nullptr, nullptr)) {
            const ProgramRun failed = not_started(u"UpdateProcThreadAttribute");
            DeleteProcThreadAttributeList(list);
            return failed;
        }
        STARTUPINFOEXW startup{};
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = nul.get();
        startup.StartupInfo.hStdOutput = write_end;
        startup.StartupInfo.hStdError = write_end;
        startup.lpAttributeList = list;
        std::u16string command_line = u"\"" + path + u"\"";
        PROCESS_INFORMATION process{};
        const BOOL started =
            CreateProcessW(w(path), reinterpret_cast<wchar_t*>(command_line.data()), nullptr,
                           nullptr, TRUE, CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT,
                           nullptr, nullptr, &startup.StartupInfo, &process);
        const DWORD start_error = GetLastError();
        DeleteProcThreadAttributeList(list);
        if (!started) return not_started(u"CreateProcessW", start_error);
        Handle child(process.hProcess), thread(process.hThread);
        // Only the child holds the write end now: the pipe ends with it.
        writer.reset();
        nul.reset();

        // The pipe is read as the program writes (a full pipe would stop
        // it), and its end is awaited no longer than the time limit.
        const ULONGLONG deadline = GetTickCount64() + program_time_limit_ms;
        bool timed_out = false;
        auto ended_in_time = [&](DWORD wait_ms) {
            const ULONGLONG now = GetTickCount64();
            const auto left = static_cast<DWORD>(now < deadline ? deadline - now : 0);
            if (WaitForSingleObject(child.get(), std::min(wait_ms, left)) == WAIT_OBJECT_0)
                return true;
            if (GetTickCount64() < deadline) return false;
            TerminateProcess(child.get(), ERROR_TIMEOUT);
            WaitForSingleObject(child.get(), INFINITE);
            timed_out = true;
            return false;
        };
        char buffer[4096];
        bool ended = false;
        while (!timed_out) {
            DWORD available = 0;
            if (!PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr)) break;
            if (available > 0) {
                DWORD got = 0;
                if (!ReadFile(read_end, buffer, sizeof buffer, &got, nullptr)) break;
                output(std::string_view(buffer, got));
            } else if (ended) {
                break;
            } else {
                ended = ended_in_time(20);
            }
        }
        // A program that closed its output early is still waited for, as
        // long as the limit allows.
        while (!ended && !timed_out) ended = ended_in_time(INFINITE);
        if (timed_out)
            return {std::nullopt, u"it did not end within " +
                                      decimal(program_time_limit_ms / 1000) +
                                      u" seconds and was ended"};
        DWORD code = 0;
        if (!GetExitCodeProcess(child.get(), &code)) return not_started(u"GetExitCodeProcess");
        return {code, {}};
    }

    void log(std::u16string_view line) override {
        PMSIHANDLE record = MsiCreateRecord(0);
        const std::u16string text = literal_record_text(line);
        MsiRecordSetStringW(record, 0, w(text));
        MsiProcessMessage(install_, INSTALLMESSAGE_INFO, record);
    }

    void report_failure(std::u16string_view exit_code, std::u16string_view report) override {
        // Field 0 empty: the engine takes the Error table's text for the
        // number in field 1, and logs it in the event log too.
        PMSIHANDLE record = MsiCreateRecord(3);
        const std::u16string code(exit_code), text = literal_record_text(report);
        MsiRecordSetInteger(record, 1, program_failed_error);
        MsiRecordSetStringW(record, 2, w(code));
        MsiRecordSetStringW(record, 3, w(text));
        MsiProcessMessage(install_, INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK), record);
    }

private:
    static ProgramRun not_started(std::u16string_view call, DWORD error = GetLastError()) {
        return {std::nullopt, std::u16string(call) + u" failed (os error " + decimal(error) +
                                  u")"};
    }

    MSIHANDLE install_;
};

// The installed program: this deferred action's CustomActionData.
std::u16string action_data(MSIHANDLE install) {
    DWORD size = 0;
    wchar_t empty[1] = {};
    MsiGetPropertyW(install, L"CustomActionData", empty, &size);
    std::u16string data(size + 1, u'\0');
    ++size;
    if (MsiGetPropertyW(install, L"CustomActionData", reinterpret_cast<wchar_t*>(data.data()),
                        &size) != ERROR_SUCCESS)
        return {};
    data.resize(size);
    return data;
}

}  // namespace
}  // namespace vek::custom_action

using namespace vek::custom_action;

extern "C" __declspec(dllexport) UINT __stdcall RegisterService(MSIHANDLE install) {
    InstallerHost host(install);
    const std::u16string program = action_data(install);
    if (program.empty()) {
        host.report_failure(u"not run", u"the package named no program to run");
        return ERROR_INSTALL_FAILURE;
    }
    return register_service(host, program) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// Scheduled only when there was no registration before the install: what it
// finds is the one this install made. A stop that takes long is not waited
// for past 30 seconds (the manager deletes a service once it has stopped).
extern "C" __declspec(dllexport) UINT __stdcall UndoRegistration(MSIHANDLE install) {
    InstallerHost host(install);
    DWORD error = 0;
    ServiceHandle service = open_service(SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE, error);
    if (!service) {
        host.log(u"Rollback: no registration to delete (os error " + decimal(error) + u")");
        return ERROR_SUCCESS;
    }
    SERVICE_STATUS status{};
    if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        for (int i = 0; i < 120 && status.dwCurrentState != SERVICE_STOPPED; ++i) {
            Sleep(250);
            if (!QueryServiceStatus(service.get(), &status)) break;
        }
    }
    const std::u16string name = vek::utf8_to_utf16(vek::service_key_name);
    if (DeleteService(service.get()))
        host.log(u"Rollback: deleted the registration of " + name + u" that this install made");
    else
        host.log(u"Rollback: cannot delete the registration of " + name + u" (os error " +
                 decimal(GetLastError()) + u")");
    return ERROR_SUCCESS;
}
