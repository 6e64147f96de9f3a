// The install sequence: connect, find the service executable, then start the
// registered service or register, describe and start it.
#pragma once

#include "errors/chained_error.h"
#include "installer/vek_service.h"
#include "scm/handles.h"
#include "scm/scm_error.h"
#include "scm/service_status.h"

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace vek {

// The step lines, each one whole line.
namespace steps {
inline constexpr std::string_view installing = "Installing service...\n";
inline constexpr std::string_view exists_starting = "Service exists, starting...\n";
inline constexpr std::string_view creating = "Creating service...\n";
inline constexpr std::string_view installed = "Service installed successfully.\n";
}  // namespace steps

// Where the step lines go. A line is written in one piece; a write is taken to
// succeed (the standard-output writer ends the process when it does not).
class StepOutput {
public:
    virtual void write_line(std::string_view line) = 0;

protected:
    ~StepOutput() = default;
};

// The operations the sequence calls. It never looks inside an error: it passes
// it on or drops it.
class InstallOperations {
public:
    virtual ~InstallOperations() = default;

    virtual std::expected<ScmConnection, ScmError> connect(std::uint32_t access) = 0;
    virtual std::expected<std::u16string, ChainedError> locate_service_executable(
        std::string_view key_name) = 0;
    virtual std::expected<ServiceHandle, ScmError> open_service(const ScmConnection& connection,
                                                                std::string_view key_name,
                                                                std::uint32_t access) = 0;
    virtual std::expected<ServiceStatusReport, ScmError> query_status(
        const ServiceHandle& service) = 0;
    virtual std::expected<void, ScmError> start(const ServiceHandle& service,
                                                std::span<const std::string_view> arguments) = 0;
    virtual std::expected<ServiceHandle, ScmError> create_service(
        const ScmConnection& connection, const ServiceDefinition& definition,
        std::uint32_t access) = 0;
    virtual std::expected<void, ScmError> set_description(const ServiceHandle& service,
                                                          std::string_view description) = 0;
};

// The operations of the real client and file system.
class PlatformOperations final : public InstallOperations {
public:
    std::expected<ScmConnection, ScmError> connect(std::uint32_t access) override;
    std::expected<std::u16string, ChainedError> locate_service_executable(
        std::string_view key_name) override;
    std::expected<ServiceHandle, ScmError> open_service(const ScmConnection& connection,
                                                        std::string_view key_name,
                                                        std::uint32_t access) override;
    std::expected<ServiceStatusReport, ScmError> query_status(const ServiceHandle& service) override;
    std::expected<void, ScmError> start(const ServiceHandle& service,
                                        std::span<const std::string_view> arguments) override;
    std::expected<ServiceHandle, ScmError> create_service(const ScmConnection& connection,
                                                          const ServiceDefinition& definition,
                                                          std::uint32_t access) override;
    std::expected<void, ScmError> set_description(const ServiceHandle& service,
                                                  std::string_view description) override;
};

// Whether a service in this state is started: Stopped, StopPending,
// PausePending and Paused are; StartPending, Running and ContinuePending are
// left alone.
constexpr bool should_start(ServiceState state) noexcept {
    return ((0xCAu >> static_cast<std::uint32_t>(state)) & 1u) != 0;
}

// Runs the sequence once. Releases the service handle, then the executable
// path or definition, then the connection, on every path. Every error it does
// not drop is returned as a ChainedError with that error on top, unchanged.
RunResult run_installer(InstallOperations& operations, StepOutput& output);

}  // namespace vek
