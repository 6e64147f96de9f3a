#include "installer/install_sequence.h"

#include "installer/path_text.h"
#include "installer/service_executable.h"
#include "scm/service_control.h"

#include <optional>

namespace vek {

namespace {

// Registers, describes and starts the service. The definition is declared
// before the service handle, so the handle is closed first.
RunResult create_and_start(InstallOperations& operations, StepOutput& output,
                           const ScmConnection& connection, std::u16string executable_path) {
    output.write_line(steps::creating);
    // The manager keeps the command line as an expandable string and replaces
    // %NAME% each time it starts the service, with no escape: a path with a
    // percent sign could make it run, as LocalSystem, another program than
    // the one found here. An existing registration is never registered again,
    // so only this path needs the check.
    if (executable_path.find(u'%') != std::u16string::npos) {
        return ChainedError::from_message(
            "Bin path contains a percent sign, which the service manager would expand: " +
            escaped_path_text(executable_path));
    }
    ServiceDefinition definition = make_service_definition(std::move(executable_path));

    auto service = operations.create_service(connection, definition, create_service_access);
    if (!service) return ChainedError::from_error(std::move(service.error()));

    // A registration made here stays in place if what follows fails.
    if (auto described = operations.set_description(*service, service_description_text);
        !described)
        return ChainedError::from_error(std::move(described.error()));
    if (auto started = operations.start(*service, {}); !started)
        return ChainedError::from_error(std::move(started.error()));

    output.write_line(steps::installed);
    return RunResult::success();
}

}  // namespace

RunResult run_installer(InstallOperations& operations, StepOutput& output) {
    auto connection = operations.connect(manager_access);
    if (!connection) return ChainedError::from_error(std::move(connection.error()));

    auto executable_path = operations.locate_service_executable(service_key_name);
    if (!executable_path) return std::move(executable_path.error());

    output.write_line(steps::installing);

    // Any failure to open or query is dropped: the sequence cannot tell an
    // unregistered service from one it may not open, and lets the
    // registration's answer decide.
    if (auto service = operations.open_service(*connection, service_key_name, open_service_access)) {
        if (auto status = operations.query_status(*service)) {
            if (!should_start(status->current_state)) return RunResult::success();
            output.write_line(steps::exists_starting);
            if (auto started = operations.start(*service, {}); !started)
                return ChainedError::from_error(std::move(started.error()));
            return RunResult::success();
        }
    }

    return create_and_start(operations, output, *connection, std::move(*executable_path));
}

std::expected<ScmConnection, ScmError> PlatformOperations::connect(std::uint32_t access) {
    return vek::connect(access);
}

std::expected<std::u16string, ChainedError> PlatformOperations::locate_service_executable(
    std::string_view key_name) {
    return vek::locate_service_executable(key_name);
}

std::expected<ServiceHandle, ScmError> PlatformOperations::open_service(
    const ScmConnection& connection, std::string_view key_name, std::uint32_t access) {
    return vek::open_service(connection, key_name, access);
}

std::expected<ServiceStatusReport, ScmError> PlatformOperations::query_status(
    const ServiceHandle& service) {
    return vek::query_status(service);
}

std::expected<void, ScmError> PlatformOperations::start(
    const ServiceHandle& service, std::span<const std::string_view> arguments) {
    return vek::start(service, arguments);
}

std::expected<ServiceHandle, ScmError> PlatformOperations::create_service(
    const ScmConnection& connection, const ServiceDefinition& definition, std::uint32_t access) {
    return vek::create_service(connection, definition, access);
}

std::expected<void, ScmError> PlatformOperations::set_description(const ServiceHandle& service,
                                                                  std::string_view description) {
    return vek::set_description(service, description);
}

}  // namespace vek
