// The decoded status of a service.
#pragma once

#include "scm/handles.h"
#include "scm/scm_error.h"

#include <cstdint>
#include <expected>
#include <optional>
#include <variant>

namespace vek {

enum class ServiceState : std::uint32_t {
    Stopped = 1,
    StartPending = 2,
    StopPending = 3,
    Running = 4,
    ContinuePending = 5,
    PausePending = 6,
    Paused = 7,
};

struct ServiceExitCode {
    struct Win32 {
        std::uint32_t code;
        friend bool operator==(Win32, Win32) = default;
    };
    struct ServiceSpecific {
        std::uint32_t code;
        friend bool operator==(ServiceSpecific, ServiceSpecific) = default;
    };
    std::variant<Win32, ServiceSpecific> value;
    friend bool operator==(const ServiceExitCode&, const ServiceExitCode&) = default;
};

// A duration as whole seconds and nanoseconds.
struct WaitHint {
    std::uint64_t seconds;
    std::uint32_t nanoseconds;
    friend bool operator==(WaitHint, WaitHint) = default;
};

struct ServiceStatusReport {
    std::uint32_t service_type;
    ServiceState current_state;
    std::uint32_t controls_accepted;
    ServiceExitCode exit_code;
    std::uint32_t checkpoint;
    WaitHint wait_hint;
    // Only while the service is Running.
    std::optional<std::uint32_t> process_id;
    friend bool operator==(const ServiceStatusReport&, const ServiceStatusReport&) = default;
};

// Reads the service's status with one QueryServiceStatusEx call and decodes
// it. The handle needs SERVICE_QUERY_STATUS access; it stays open and the
// caller's. Fails with Winapi when the call fails, with ParseValue
// ("service status", InvalidInteger) when the state is not one of the seven.
// Allocates nothing.
[[nodiscard]] std::expected<ServiceStatusReport, ScmError> query_status(
    const ServiceHandle& service);

}  // namespace vek
