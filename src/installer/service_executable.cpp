// Placeholder until the location of the service executable lands.
#include "installer/service_executable.h"

namespace vek {

std::expected<std::u16string, ChainedError> locate_service_executable(std::string_view) {
    return std::unexpected(ChainedError::from_message(
        StaticText("locating the service executable is not built yet")));
}

}  // namespace vek
