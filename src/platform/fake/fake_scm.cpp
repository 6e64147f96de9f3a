// The in-memory service control manager of the fake platform.
#include "platform/fake/fake_scm.h"

#include "platform/fake/fake_platform.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <map>

namespace vek::platform::fake {

namespace {

// Error codes only the manager gives.
constexpr Dword error_invalid_parameter = 87;
constexpr Dword error_invalid_level = 124;
constexpr Dword error_invalid_name = 123;
constexpr Dword error_noaccess = 998;
constexpr Dword error_service_disabled = 1058;
constexpr Dword error_duplicate_service_name = 1078;

// Access bits the fake checks.
constexpr Dword sc_manager_create_service = 0x2;
constexpr Dword service_change_config = 0x2;
constexpr Dword service_query_status = 0x4;
constexpr Dword service_start = 0x10;
// SERVICE_ACCEPT_STOP: what a running service of the fake accepts.
constexpr Dword service_accept_stop = 0x1;

struct Scm {
    // A deque keeps references to registrations valid as more are added.
    std::deque<ServiceRegistration> services;
    std::map<Handle, ScmHandleInfo> handles;
    Dword manager_rights = ~Dword{0};
    bool recording = true;
    ScmCallHook hook = nullptr;
    Dword next_process_id = 4000;
};

Scm& scm() {
    static Scm instance;
    return instance;
}

char16_t ascii_lower(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }

bool same_name(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char16_t x, char16_t y) { return ascii_lower(x) == ascii_lower(y); });
}

void note(Call call) {
    if (scm().recording) record(std::move(call));
}

// Runs the hook with the call's pointer arguments, then gives back `result`.
template <class R, class... P>
R finish(R result, P... pointers) {
    if (scm().hook != nullptr) {
        const std::array<const void*, sizeof...(P)> list{static_cast<const void*>(pointers)...};
        scm().hook(list);
    }
    return result;
}

// A double-terminated list, kept with its inner NULs and without its final
// NUL. An empty list (a single NUL) gives an empty text.
std::optional<std::u16string> multi_text_of(const char16_t* list) {
    if (list == nullptr) return std::nullopt;
    std::u16string whole;
    const char16_t* at = list;
    while (*at != u'\0') {
        std::size_t length = std::char_traits<char16_t>::length(at);
        whole.append(at, length + 1);
        at += length + 1;
    }
    return whole;
}

// Makes the call fail with `code` (SetLastError) and gives `failure`.
template <class R>
R fail(Dword code, R failure) {
    SetLastError(code);
    return failure;
}

const ScmHandleInfo* manager_info(Handle handle) {
    if (!is_open(handle, HandleKind::manager)) return nullptr;
    auto it = scm().handles.find(handle);
    return it == scm().handles.end() ? nullptr : &it->second;
}

const ScmHandleInfo* service_info(Handle handle) {
    if (!is_open(handle, HandleKind::service)) return nullptr;
    auto it = scm().handles.find(handle);
    return it == scm().handles.end() ? nullptr : &it->second;
}

Handle give_service_handle(const std::u16string& name, Dword access) {
    Handle handle = open_handle(HandleKind::service);
    scm().handles[handle] = ScmHandleInfo{false, access, name};
    return handle;
}

ServiceStatusProcess status_of(const ServiceRegistration& service) {
    if (service.raw_status) return *service.raw_status;
    ServiceStatusProcess status{};
    status.dwServiceType = service.service_type;
    status.dwCurrentState = service.state;
    bool running = service.state == service_running;
    status.dwControlsAccepted = running ? service_accept_stop : 0;
    status.dwProcessId = running ? service.process_id : 0;
    return status;
}

}  // namespace

ServiceRegistration& register_service(ServiceRegistration registration) {
    return scm().services.emplace_back(std::move(registration));
}

ServiceRegistration* find_service(std::u16string_view name) {
    for (ServiceRegistration& service : scm().services)
        if (same_name(service.name, name)) return &service;
    return nullptr;
}

std::size_t service_count() { return scm().services.size(); }

std::optional<ScmHandleInfo> scm_handle_info(Handle handle) {
    auto it = scm().handles.find(handle);
    if (it == scm().handles.end()) return std::nullopt;
    return it->second;
}

void set_manager_rights(Dword rights) { scm().manager_rights = rights; }

void set_scm_recording(bool on) { scm().recording = on; }

void set_scm_call_hook(ScmCallHook hook) { scm().hook = hook; }

void reset_scm() { scm() = Scm{}; }

}  // namespace vek::platform::fake

namespace vek::platform {

using namespace fake;

// Recorded: numbers {access}; texts {machine name, database name}.
Handle OpenSCManagerW(const char16_t* machine_name, const char16_t* database_name,
                      Dword desired_access) {
    note({"OpenSCManagerW", {desired_access}, {text_of(machine_name), text_of(database_name)}});
    if (auto code = take_failure("OpenSCManagerW"))
        return finish(fail<Handle>(*code, nullptr), machine_name, database_name);
    if ((desired_access & ~scm().manager_rights) != 0)
        return finish(fail<Handle>(error_access_denied, nullptr), machine_name, database_name);
    Handle handle = open_handle(HandleKind::manager);
    scm().handles[handle] = ScmHandleInfo{true, desired_access, {}};
    return finish(handle, machine_name, database_name);
}

// Recorded: numbers {manager, access}; texts {service name}.
Handle OpenServiceW(Handle manager, const char16_t* service_name, Dword desired_access) {
    note({"OpenServiceW", {number_of(manager), desired_access}, {text_of(service_name)}});
    if (auto code = take_failure("OpenServiceW"))
        return finish(fail<Handle>(*code, nullptr), service_name);
    if (manager_info(manager) == nullptr)
        return finish(fail<Handle>(error_invalid_handle, nullptr), service_name);
    if (service_name == nullptr || *service_name == u'\0')
        return finish(fail<Handle>(error_invalid_name, nullptr), service_name);
    const ServiceRegistration* service = find_service(service_name);
    if (service == nullptr)
        return finish(fail<Handle>(error_service_does_not_exist, nullptr), service_name);
    return finish(give_service_handle(service->name, desired_access), service_name);
}

// Recorded: numbers {manager, access, service type, start type, error control,
// tag requested (0 or 1)}; texts {service name, display name, binary path,
// load-ordering group, dependencies (whole list), start name, password}.
Handle CreateServiceW(Handle manager, const char16_t* service_name,
                      const char16_t* display_name, Dword desired_access, Dword service_type,
                      Dword start_type, Dword error_control, const char16_t* binary_path_name,
                      const char16_t* load_order_group, Dword* tag_id,
                      const char16_t* dependencies, const char16_t* service_start_name,
                      const char16_t* password) {
    note({"CreateServiceW",
          {number_of(manager), desired_access, service_type, start_type, error_control,
           tag_id != nullptr ? 1u : 0u},
          {text_of(service_name), text_of(display_name), text_of(binary_path_name),
           text_of(load_order_group), multi_text_of(dependencies), text_of(service_start_name),
           text_of(password)}});
    auto done = [&](Handle result) {
        return finish(result, service_name, display_name, binary_path_name, load_order_group,
                      tag_id, dependencies, service_start_name, password);
    };
    if (auto code = take_failure("CreateServiceW")) return done(fail<Handle>(*code, nullptr));
    const ScmHandleInfo* info = manager_info(manager);
    if (info == nullptr) return done(fail<Handle>(error_invalid_handle, nullptr));
    if ((info->access & sc_manager_create_service) == 0)
        return done(fail<Handle>(error_access_denied, nullptr));
    if (service_name == nullptr || *service_name == u'\0')
        return done(fail<Handle>(error_invalid_name, nullptr));
    if (binary_path_name == nullptr) return done(fail<Handle>(error_invalid_parameter, nullptr));
    if (const ServiceRegistration* existing = find_service(service_name))
        return done(fail<Handle>(existing->marked_for_delete ? error_service_marked_for_delete
                                                             : error_service_exists,
                                 nullptr));
    std::u16string display = display_name != nullptr ? display_name : service_name;
    for (const ServiceRegistration& other : scm().services)
        if (same_name(other.display_name, display))
            return done(fail<Handle>(error_duplicate_service_name, nullptr));

    ServiceRegistration service;
    service.name = service_name;
    service.display_name = std::move(display);
    service.service_type = service_type;
    service.start_type = start_type;
    service.error_control = error_control;
    service.binary_path_name = binary_path_name;
    service.load_order_group = text_of(load_order_group);
    service.tag_requested = tag_id != nullptr;
    service.dependencies = multi_text_of(dependencies);
    service.service_start_name = text_of(service_start_name);
    service.password = text_of(password);
    if (tag_id != nullptr) *tag_id = 0;
    const ServiceRegistration& added = register_service(std::move(service));
    return done(give_service_handle(added.name, desired_access));
}

// Recorded: numbers {service, info level, info pointer non-NULL (0 or 1)};
// texts {description} for level 1 with a record, none otherwise.
Bool ChangeServiceConfig2W(Handle service, Dword info_level, void* info) {
    const auto* description = static_cast<const ServiceDescription*>(info);
    Call call{"ChangeServiceConfig2W", {number_of(service), info_level, info != nullptr ? 1u : 0u},
              {}};
    if (info_level == service_config_description && description != nullptr)
        call.texts.push_back(text_of(description->lpDescription));
    note(std::move(call));
    const void* text = description != nullptr ? description->lpDescription : nullptr;
    if (auto code = take_failure("ChangeServiceConfig2W")) return finish(fail<Bool>(*code, 0), text);
    const ScmHandleInfo* handle = service_info(service);
    if (handle == nullptr) return finish(fail<Bool>(error_invalid_handle, 0), text);
    if ((handle->access & service_change_config) == 0)
        return finish(fail<Bool>(error_access_denied, 0), text);
    if (info_level != service_config_description)
        return finish(fail<Bool>(error_invalid_level, 0), text);
    if (description == nullptr) return finish(fail<Bool>(error_invalid_parameter, 0), text);
    ServiceRegistration* registration = find_service(handle->service);
    // A NULL description leaves the one there unchanged, as the platform does.
    if (registration != nullptr && description->lpDescription != nullptr)
        registration->description = description->lpDescription;
    return finish(Bool{1}, text);
}

// Recorded: numbers {service, argument count}; texts {each argument, as many
// as the count says}.
Bool StartServiceW(Handle service, Dword num_service_args, const char16_t** service_arg_vectors) {
    Call call{"StartServiceW", {number_of(service), num_service_args}, {}};
    if (service_arg_vectors != nullptr)
        for (Dword i = 0; i < num_service_args; ++i)
            call.texts.push_back(text_of(service_arg_vectors[i]));
    note(std::move(call));
    if (auto code = take_failure("StartServiceW"))
        return finish(fail<Bool>(*code, 0), service_arg_vectors);
    const ScmHandleInfo* handle = service_info(service);
    if (handle == nullptr) return finish(fail<Bool>(error_invalid_handle, 0), service_arg_vectors);
    if ((handle->access & service_start) == 0)
        return finish(fail<Bool>(error_access_denied, 0), service_arg_vectors);
    if (num_service_args != 0 && service_arg_vectors == nullptr)
        return finish(fail<Bool>(error_invalid_parameter, 0), service_arg_vectors);
    ServiceRegistration* registration = find_service(handle->service);
    if (registration == nullptr)
        return finish(fail<Bool>(error_invalid_handle, 0), service_arg_vectors);
    if (registration->marked_for_delete)
        return finish(fail<Bool>(error_service_marked_for_delete, 0), service_arg_vectors);
    if (registration->start_type == service_start_disabled)
        return finish(fail<Bool>(error_service_disabled, 0), service_arg_vectors);
    if (registration->state != service_stopped)
        return finish(fail<Bool>(error_service_already_running, 0), service_arg_vectors);
    registration->state = service_running;
    registration->process_id = scm().next_process_id;
    scm().next_process_id += 4;
    return finish(Bool{1}, service_arg_vectors);
}

// Recorded: numbers {service, info level, buffer size, bytes-needed pointer
// non-NULL (0 or 1), buffer all zero on entry (0 or 1)}.
Bool QueryServiceStatusEx(Handle service, Dword info_level, std::uint8_t* buffer,
                          Dword buffer_size, Dword* bytes_needed) {
    if (scm().recording) {
        bool zeroed = buffer != nullptr &&
                      std::all_of(buffer, buffer + buffer_size, [](std::uint8_t b) { return b == 0; });
        note({"QueryServiceStatusEx",
              {number_of(service), info_level, buffer_size, bytes_needed != nullptr ? 1u : 0u,
               zeroed ? 1u : 0u},
              {}});
    }
    if (auto code = take_failure("QueryServiceStatusEx")) return finish(fail<Bool>(*code, 0));
    const ScmHandleInfo* handle = service_info(service);
    if (handle == nullptr) return finish(fail<Bool>(error_invalid_handle, 0));
    if ((handle->access & service_query_status) == 0)
        return finish(fail<Bool>(error_access_denied, 0));
    if (info_level != sc_status_process_info) return finish(fail<Bool>(error_invalid_level, 0));
    if (buffer == nullptr) return finish(fail<Bool>(error_noaccess, 0));
    if (buffer_size < sizeof(ServiceStatusProcess)) {
        if (bytes_needed != nullptr) *bytes_needed = sizeof(ServiceStatusProcess);
        return finish(fail<Bool>(error_insufficient_buffer, 0));
    }
    const ServiceRegistration* registration = find_service(handle->service);
    if (registration == nullptr) return finish(fail<Bool>(error_invalid_handle, 0));
    ServiceStatusProcess status = status_of(*registration);
    std::memcpy(buffer, &status, sizeof status);
    return finish(Bool{1});
}

// Recorded: numbers {handle}. Closes a manager or a service handle; anything
// else (a closed handle, a file handle) fails with 6 and counts as a bad
// close in the handle table.
Bool CloseServiceHandle(Handle object) {
    note({"CloseServiceHandle", {number_of(object)}, {}});
    auto kind = is_open(object, HandleKind::manager) ? HandleKind::manager : HandleKind::service;
    if (!close_handle(object, kind)) {
        SetLastError(error_invalid_handle);
        return finish(Bool{0});
    }
    return finish(Bool{1});
}

}  // namespace vek::platform
