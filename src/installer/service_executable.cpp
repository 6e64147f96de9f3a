#include "installer/service_executable.h"

#include "installer/file_system.h"
#include "installer/path_text.h"
#include "scm/utf.h"

namespace vek {

std::expected<std::u16string, ChainedError> locate_service_executable(
    std::string_view key_name) {
    auto own_path = own_executable_path();
    if (!own_path) return std::unexpected(ChainedError::from_error(own_path.error()));

    std::u16string file_name = utf8_to_utf16(key_name) + u".exe";
    std::u16string executable = replace_file_name(*own_path, file_name);
    if (!path_exists(executable)) {
        return std::unexpected(
            ChainedError::from_message("Bin path not exists: " + escaped_path_text(executable)));
    }
    return executable;
}

}  // namespace vek
