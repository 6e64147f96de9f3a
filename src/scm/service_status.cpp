// Placeholder until the status query lands.
#include "scm/service_status.h"

namespace vek {

std::expected<ServiceStatusReport, ScmError> query_status(const ServiceHandle&) {
    return std::unexpected(ScmError::Winapi{
        OsError(static_cast<std::int32_t>(platform::error_call_not_implemented))});
}

}  // namespace vek
