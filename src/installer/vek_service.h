// The service this installer registers: every name and value it hands to the
// service control manager, in one place. Only the executable's directory is
// not a constant.
#pragma once

#include "scm/service_definition.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace vek {

inline constexpr std::string_view service_key_name = "vek-system-service";
inline constexpr std::string_view service_display_name = "Vek System Service";
// The text the service is described by (set_description files it under the
// label labels::service_description).
inline constexpr std::string_view service_description_text = "Vek system service";
// The key name followed by ".exe".
inline constexpr std::u16string_view service_file_name = u"vek-system-service.exe";

// SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL.
inline constexpr std::uint32_t service_type_own_process = 0x10;
inline constexpr std::uint32_t service_start_auto = 0x2;
inline constexpr std::uint32_t service_error_normal = 0x1;

// The rights asked for at each call, and no others.
// SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE
inline constexpr std::uint32_t manager_access = 0x3;
// SERVICE_QUERY_STATUS | SERVICE_START: the opened handle only reads the
// status and starts the service.
inline constexpr std::uint32_t open_service_access = 0x14;
// SERVICE_CHANGE_CONFIG | SERVICE_START: the created handle only sets the
// description and starts the service.
inline constexpr std::uint32_t create_service_access = 0x12;

// The definition of this installer's service, with the executable path moved
// in: its own process, started at every boot, normal error control, no
// launch arguments, no dependencies, LocalSystem.
inline ServiceDefinition make_service_definition(std::u16string executable_path) {
    ServiceDefinition definition;
    definition.name = std::string(service_key_name);
    definition.display_name = std::string(service_display_name);
    definition.service_type = service_type_own_process;
    definition.start_type = service_start_auto;
    definition.error_control = service_error_normal;
    definition.executable_path = std::move(executable_path);
    return definition;
}

}  // namespace vek
