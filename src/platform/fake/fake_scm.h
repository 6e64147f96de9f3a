// The fake service control manager: registrations with their fields and
// states, the handles it gave out with their access masks, and the raw status
// record it hands back. Tests program it through this header; the client
// reaches it only through the Win32 functions of platform/win32.h.
//
// What the fake enforces, as the platform does:
// - OpenServiceW and CreateServiceW need an open manager handle (else 6);
//   CreateServiceW needs SC_MANAGER_CREATE_SERVICE on it (else 5).
// - ChangeServiceConfig2W needs SERVICE_CHANGE_CONFIG, StartServiceW
//   SERVICE_START, QueryServiceStatusEx SERVICE_QUERY_STATUS on an open
//   service handle (else 5; a handle that is not an open service handle: 6).
// - OpenServiceW of a name that is not registered fails with 1060;
//   CreateServiceW of a registered name with 1073. Names compare without
//   regard to ASCII case, as the manager's do.
// - StartServiceW starts a Stopped service, which becomes Running with a
//   process id; any other state fails with 1056, a disabled service with 1058.
// - A service marked for deletion (deleted while a handle to it was still
//   open, by the Services console say) still opens and reports its state,
//   but StartServiceW, and CreateServiceW of its name, fail with 1072 until
//   the manager lets go of it.
//
// Every call is recorded (fake::record) with its arguments: see each function
// in fake_scm.cpp for which numbers and texts, in which order.
#pragma once

#include "platform/win32.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vek::platform::fake {

// Service states, as the platform numbers them.
inline constexpr Dword service_stopped = 1;
inline constexpr Dword service_start_pending = 2;
inline constexpr Dword service_stop_pending = 3;
inline constexpr Dword service_running = 4;
inline constexpr Dword service_continue_pending = 5;
inline constexpr Dword service_pause_pending = 6;
inline constexpr Dword service_paused = 7;

// SERVICE_DISABLED: such a service cannot be started.
inline constexpr Dword service_start_disabled = 4;

// One registration, with every field that CreateServiceW was given.
struct ServiceRegistration {
    std::u16string name;
    std::u16string display_name;
    Dword service_type = 0x10;
    Dword start_type = 0x3;
    Dword error_control = 0x1;
    std::u16string binary_path_name;
    std::optional<std::u16string> load_order_group;
    // Whether a tag identifier was asked for (a non-NULL tag pointer).
    bool tag_requested = false;
    // The double-terminated list whole, with its inner NULs, without its
    // final NUL ("A\0+G\0" for A then group G); nullopt for NULL.
    std::optional<std::u16string> dependencies;
    std::optional<std::u16string> service_start_name;
    std::optional<std::u16string> password;
    // Set by ChangeServiceConfig2W (SERVICE_CONFIG_DESCRIPTION).
    std::optional<std::u16string> description;

    Dword state = service_stopped;
    // Reported while Running; the fake gives one when it starts a service.
    Dword process_id = 0;
    // When set, QueryServiceStatusEx hands back exactly this record instead of
    // one made from the fields above.
    std::optional<ServiceStatusProcess> raw_status;
    bool marked_for_delete = false;
};

// Adds a registration, as an earlier run would have left it. Returns it, to
// be adjusted in place (the reference lives until the next reset or
// registration).
ServiceRegistration& register_service(ServiceRegistration registration);
// The registration of that name, or nullptr.
ServiceRegistration* find_service(std::u16string_view name);
std::size_t service_count();

// What the fake knows of a handle it gave out: the access mask asked for,
// and for a service handle the service's name. nullopt for any other handle.
struct ScmHandleInfo {
    bool manager;
    Dword access;
    std::u16string service;
};
std::optional<ScmHandleInfo> scm_handle_info(Handle handle);

// The rights that OpenSCManagerW grants: asking for any other bit fails with
// 5, as for a caller without administrator rights (default: all).
void set_manager_rights(Dword rights);

// Whether manager calls are recorded (default: yes). Recording allocates, so
// a test that counts the client's allocations switches it off.
void set_scm_recording(bool on);

// Called at the end of every manager call, after its result and last-error
// code are set, with the string and array pointers the call was given, in
// parameter order (NULLs included). Lets a test see what the caller does
// with those buffers afterwards. The hook must not allocate.
using ScmCallHook = void (*)(std::span<const void* const> pointers);
void set_scm_call_hook(ScmCallHook hook);

}  // namespace vek::platform::fake
