// The test's own view of the service control manager: what is registered
// under the service's name, in which state it is, and the means to put it
// into a state (stop, pause, change, delete) between runs of the installer.
#pragma once

#include "text.h"
#include "windows_api.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vek::windows_test {

inline constexpr wchar_t service_name[] = L"vek-system-service";

// Owns a service manager handle (tests only).
class ScHandle {
public:
    ScHandle() = default;
    explicit ScHandle(SC_HANDLE handle) : handle_(handle) {}
    ScHandle(ScHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    ScHandle& operator=(ScHandle&& other) noexcept {
        std::swap(handle_, other.handle_);
        return *this;
    }
    ~ScHandle() {
        if (handle_ != nullptr) CloseServiceHandle(handle_);
    }
    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    SC_HANDLE handle_ = nullptr;
};

// The registration as the manager reports it.
struct Registration {
    DWORD service_type = 0;
    DWORD start_type = 0;
    DWORD error_control = 0;
    std::wstring command_line;
    std::wstring load_order_group;
    std::wstring dependencies;
    std::wstring account;
    std::wstring display_name;
    std::wstring description;
};

inline ScHandle open_manager() {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) ADD_FAILURE() << "OpenSCManagerW failed with " << GetLastError();
    return manager;
}

// The service, or no handle with the platform's code in `error`.
inline ScHandle open_service(DWORD access, DWORD* error = nullptr) {
    ScHandle manager = open_manager();
    if (!manager) return {};
    ScHandle service(OpenServiceW(manager.get(), service_name, access));
    if (error) *error = service ? 0 : GetLastError();
    return service;
}

inline bool is_registered() {
    DWORD error = 0;
    ScHandle service = open_service(SERVICE_QUERY_STATUS, &error);
    if (!service && error != ERROR_SERVICE_DOES_NOT_EXIST)
        ADD_FAILURE() << "OpenServiceW failed with " << error;
    return static_cast<bool>(service);
}

// The registration, or nothing (with a test failure) when it cannot be read.
inline std::optional<Registration> registration() {
    ScHandle service = open_service(SERVICE_QUERY_CONFIG);
    if (!service) {
        ADD_FAILURE() << "the service is not registered";
        return std::nullopt;
    }
    Registration out;
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<unsigned char> buffer(needed + 1);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.get(), config, needed, &needed)) {
        ADD_FAILURE() << "QueryServiceConfigW failed with " << GetLastError();
        return std::nullopt;
    }
    auto text = [](const wchar_t* value) { return value ? std::wstring(value) : std::wstring(); };
    out.service_type = config->dwServiceType;
    out.start_type = config->dwStartType;
    out.error_control = config->dwErrorControl;
    out.command_line = text(config->lpBinaryPathName);
    out.load_order_group = text(config->lpLoadOrderGroup);
    out.dependencies = text(config->lpDependencies);
    out.account = text(config->lpServiceStartName);
    out.display_name = text(config->lpDisplayName);

    needed = 0;
    QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
    std::vector<unsigned char> description_buffer(needed + sizeof(SERVICE_DESCRIPTIONW));
    auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(description_buffer.data());
    if (!QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, description_buffer.data(),
                              static_cast<DWORD>(description_buffer.size()), &needed)) {
        ADD_FAILURE() << "QueryServiceConfig2W failed with " << GetLastError();
        return std::nullopt;
    }
    out.description = text(description->lpDescription);
    return out;
}

// The registration a first run of the installer makes for a service program
// registered by `command_line`.
inline Registration installed_registration(std::wstring command_line) {
    Registration out;
    out.service_type = SERVICE_WIN32_OWN_PROCESS;
    out.start_type = SERVICE_AUTO_START;
    out.error_control = SERVICE_ERROR_NORMAL;
    out.command_line = std::move(command_line);
    out.account = L"LocalSystem";
    out.display_name = L"Vek System Service";
    out.description = L"Vek system service";
    return out;
}

inline void expect_registration(const Registration& expected) {
    std::optional<Registration> actual = registration();
    if (!actual) return;
    EXPECT_EQ(actual->service_type, expected.service_type);
    EXPECT_EQ(actual->start_type, expected.start_type);
    EXPECT_EQ(actual->error_control, expected.error_control);
    EXPECT_EQ(utf8(actual->command_line), utf8(expected.command_line));
    EXPECT_EQ(utf8(actual->load_order_group), utf8(expected.load_order_group));
    EXPECT_EQ(utf8(actual->dependencies), utf8(expected.dependencies));
    EXPECT_EQ(utf8(actual->account), utf8(expected.account));
    EXPECT_EQ(utf8(actual->display_name), utf8(expected.display_name));
    EXPECT_EQ(utf8(actual->description), utf8(expected.description));
}

// The current state (SERVICE_RUNNING, ...), or 0 when it cannot be read.
inline DWORD current_state() {
    ScHandle service = open_service(SERVICE_QUERY_STATUS);
    if (!service) return 0;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status, &needed))
        return 0;
    return status.dwCurrentState;
}

// The id of the service's process, or 0 when it has none.
inline DWORD service_process_id() {
    ScHandle service = open_service(SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service || !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                          reinterpret_cast<BYTE*>(&status), sizeof status, &needed))
        return 0;
    return status.dwProcessId;
}

// Polls the state until it is `state` or `timeout_ms` has passed; gives the
// last state seen. A start under Wine takes a moment: the manager launches the
// program and waits for its first report.
inline DWORD wait_for_state(DWORD state, DWORD timeout_ms = 200000) {
    ULONGLONG deadline = GetTickCount64() + timeout_ms;
    DWORD seen = current_state();
    while (seen != state && GetTickCount64() < deadline) {
        Sleep(50);
        seen = current_state();
    }
    return seen;
}

// Waits while the state is one of the pending ones; gives the settled state.
inline DWORD wait_until_settled(DWORD timeout_ms = 200000) {
    ULONGLONG deadline = GetTickCount64() + timeout_ms;
    DWORD seen = current_state();
    while ((seen == SERVICE_START_PENDING || seen == SERVICE_STOP_PENDING ||
            seen == SERVICE_CONTINUE_PENDING || seen == SERVICE_PAUSE_PENDING) &&
           GetTickCount64() < deadline) {
        Sleep(50);
        seen = current_state();
    }
    return seen;
}

// Sends `control` (SERVICE_CONTROL_STOP, _PAUSE, ...) and gives the platform's
// answer: 0 or the error code.
inline DWORD send_control(DWORD control) {
    ScHandle service = open_service(SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_QUERY_STATUS);
    if (!service) return GetLastError();
    SERVICE_STATUS status{};
    if (!ControlService(service.get(), control, &status)) return GetLastError();
    return 0;
}

// Sets the registration's start type, as an administrator does with
// sc.exe config.
inline void set_start_type(DWORD start_type) {
    ScHandle service = open_service(SERVICE_CHANGE_CONFIG);
    if (!service ||
        !ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, start_type, SERVICE_NO_CHANGE,
                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
        ADD_FAILURE() << "cannot set the start type " << start_type << ": " << GetLastError();
}

// Ends with no service registered under the name: stops it if it runs (or is
// paused, or on its way), waits until it has stopped, deletes the
// registration and waits until the manager has let go of it.
inline void remove_service() {
    DWORD error = 0;
    ScHandle service =
        open_service(SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE, &error);
    if (!service) {
        if (error != ERROR_SERVICE_DOES_NOT_EXIST)
            ADD_FAILURE() << "OpenServiceW failed with " << error;
        return;
    }
    DWORD state = wait_until_settled();
    if (state != SERVICE_STOPPED) {
        SERVICE_STATUS status{};
        if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
            ADD_FAILURE() << "stopping the service failed with " << GetLastError();
        EXPECT_EQ(wait_for_state(SERVICE_STOPPED), static_cast<DWORD>(SERVICE_STOPPED))
            << "the service did not stop";
    }
    if (!DeleteService(service.get()))
        ADD_FAILURE() << "DeleteService failed with " << GetLastError();
    service = ScHandle();
    // The manager removes a deleted service once its last handle is closed.
    ULONGLONG deadline = GetTickCount64() + 30000;
    while (GetTickCount64() < deadline) {
        DWORD open_error = 0;
        ScHandle still = open_service(SERVICE_QUERY_STATUS, &open_error);
        if (!still && open_error == ERROR_SERVICE_DOES_NOT_EXIST) return;
        Sleep(50);
    }
    ADD_FAILURE() << "the service stayed registered after DeleteService";
}

// The manager's answer to a start request for the registered service, asked
// directly: 0 when it accepted it, or its error code.
inline DWORD start_answer() {
    DWORD error = 0;
    ScHandle service = open_service(SERVICE_START, &error);
    if (!service) {
        ADD_FAILURE() << "OpenServiceW failed with " << error;
        return 0xFFFFFFFF;
    }
    return StartServiceW(service.get(), 0, nullptr) ? 0 : GetLastError();
}

// The manager's answer to starting a service registered as the installer
// registers it, with `command_line` as its program: 0 when it accepted the
// start, or its error code. The registration is the test's own, and is gone
// again (stopped first if it started) when this returns.
inline DWORD start_answer_for(const std::wstring& command_line) {
    {
        ScHandle manager = open_manager();
        ScHandle service(CreateServiceW(manager.get(), service_name, L"Vek System Service",
                                        SERVICE_START, SERVICE_WIN32_OWN_PROCESS,
                                        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                        command_line.c_str(), nullptr, nullptr, nullptr, nullptr,
                                        nullptr));
        if (!service) {
            ADD_FAILURE() << "CreateServiceW failed with " << GetLastError();
            return 0xFFFFFFFF;
        }
    }
    DWORD answer = start_answer();
    remove_service();
    return answer;
}

}  // namespace vek::windows_test
