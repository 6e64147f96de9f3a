#include "scm/service_status.h"

namespace vek {

namespace {

// The service types the client knows: kernel driver 0x1, file-system driver
// 0x2, own process 0x10, share process 0x20, user own process 0x50, user
// share process 0x60, interactive process 0x100.
constexpr std::uint32_t known_service_types = 0x173;
// The eleven accepted controls, SERVICE_ACCEPT_STOP 0x1 to
// SERVICE_ACCEPT_TRIGGEREVENT 0x400.
constexpr std::uint32_t known_controls = 0x7FF;

constexpr bool is_state(std::uint32_t raw) noexcept {
    return raw >= static_cast<std::uint32_t>(ServiceState::Stopped) &&
           raw <= static_cast<std::uint32_t>(ServiceState::Paused);
}

}  // namespace

std::expected<ServiceStatusReport, ScmError> query_status(const ServiceHandle& service) {
    platform::ServiceStatusProcess raw{};
    platform::Dword bytes_needed = 0;
    // One call into the fixed record; the bytes-needed count is never looked
    // at, since the record's size is fixed.
    if (platform::QueryServiceStatusEx(service.get(), platform::sc_status_process_info,
                                       reinterpret_cast<std::uint8_t*>(&raw), sizeof raw,
                                       &bytes_needed) == 0)
        return std::unexpected(ScmError::last_winapi_error());

    // The state first: it is the one field that can make the decoding fail.
    if (!is_state(raw.dwCurrentState))
        return std::unexpected(ScmError::ParseValue{
            labels::service_status, RawValueError::InvalidInteger{raw.dwCurrentState}});
    auto state = static_cast<ServiceState>(raw.dwCurrentState);

    ServiceExitCode exit_code =
        raw.dwWin32ExitCode == platform::error_service_specific_error
            ? ServiceExitCode{ServiceExitCode::ServiceSpecific{raw.dwServiceSpecificExitCode}}
            : ServiceExitCode{ServiceExitCode::Win32{raw.dwWin32ExitCode}};

    return ServiceStatusReport{
        .service_type = raw.dwServiceType & known_service_types,
        .current_state = state,
        .controls_accepted = raw.dwControlsAccepted & known_controls,
        .exit_code = exit_code,
        .checkpoint = raw.dwCheckPoint,
        .wait_hint = WaitHint{raw.dwWaitHint / 1000u, (raw.dwWaitHint % 1000u) * 1'000'000u},
        // A process id means something only while the service runs.
        .process_id = state == ServiceState::Running ? std::optional(raw.dwProcessId)
                                                     : std::nullopt,
    };
}

}  // namespace vek
