// Placeholder until the service control client lands: every operation fails
// with ERROR_CALL_NOT_IMPLEMENTED rather than pretend to succeed.
#include "scm/service_control.h"

namespace vek {

namespace {
ScmError not_implemented() {
    return ScmError::Winapi{OsError(static_cast<std::int32_t>(platform::error_call_not_implemented))};
}
}  // namespace

std::expected<ScmConnection, ScmError> connect(std::uint32_t) {
    return std::unexpected(not_implemented());
}
std::expected<ServiceHandle, ScmError> open_service(const ScmConnection&, std::string_view,
                                                    std::uint32_t) {
    return std::unexpected(not_implemented());
}
std::expected<ServiceHandle, ScmError> create_service(const ScmConnection&,
                                                      const ServiceDefinition&, std::uint32_t) {
    return std::unexpected(not_implemented());
}
std::expected<void, ScmError> set_description(const ServiceHandle&, std::string_view) {
    return std::unexpected(not_implemented());
}
std::expected<void, ScmError> start(const ServiceHandle&, std::span<const std::string_view>) {
    return std::unexpected(not_implemented());
}

}  // namespace vek
