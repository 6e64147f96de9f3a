// Finding the service executable beside the installer.
#pragma once

#include "errors/chained_error.h"

#include <expected>
#include <string>
#include <string_view>

namespace vek {

// The full path of "<key name>.exe" in the directory of the installer's own
// executable, when the platform reports that something exists there (a
// directory of that name passes too). Fails with the OsError of a failed
// GetModuleFileNameW, or with "Bin path not exists: " and the quoted path.
[[nodiscard]] std::expected<std::u16string, ChainedError> locate_service_executable(
    std::string_view key_name);

}  // namespace vek
