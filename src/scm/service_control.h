// The service control client's operations over the manager's handles. Each
// gives its result or an ScmError; none throws, prints, retries or waits.
// Every platform failure is Winapi with the code GetLastError gave right after
// the failed call, read before anything of the operation is released.
#pragma once

#include "scm/handles.h"
#include "scm/scm_error.h"
#include "scm/service_definition.h"

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace vek {

// Connects to the local machine's default service database with the given
// access (OpenSCManagerW with both names NULL).
[[nodiscard]] std::expected<ScmConnection, ScmError> connect(std::uint32_t access);

// Opens a registered service by its key name (label "service name").
[[nodiscard]] std::expected<ServiceHandle, ScmError> open_service(const ScmConnection& connection,
                                                                  std::string_view key_name,
                                                                  std::uint32_t access);

// Registers a service from a definition with one CreateServiceW call, after
// converting every text in a fixed order; the first bad text ends it before
// any platform call. The definition is only read.
[[nodiscard]] std::expected<ServiceHandle, ScmError> create_service(
    const ScmConnection& connection, const ServiceDefinition& definition, std::uint32_t access);

// Sets the service's description (ChangeServiceConfig2W,
// SERVICE_CONFIG_DESCRIPTION; label "service description").
[[nodiscard]] std::expected<void, ScmError> set_description(const ServiceHandle& service,
                                                            std::string_view description);

// Asks the manager to start the service with these start arguments (label
// "start argument"). Returns as soon as the request is accepted.
[[nodiscard]] std::expected<void, ScmError> start(const ServiceHandle& service,
                                                  std::span<const std::string_view> arguments);

}  // namespace vek
