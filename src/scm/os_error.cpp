#include "scm/os_error.h"

#include "errors/white_space.h"
#include "scm/utf.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

namespace vek {

namespace {
// Set in an error code that carries a platform status code (an NTSTATUS).
constexpr std::uint32_t status_code_bit = 0x10000000;
constexpr platform::Dword text_buffer_units = 2048;
}  // namespace

std::string platform_error_text(std::int32_t code) {
    auto identifier = static_cast<platform::Dword>(code);
    platform::Dword flags =
        platform::format_message_from_system | platform::format_message_ignore_inserts;
    const void* source = nullptr;
    if ((identifier & status_code_bit) != 0) {
        // Status codes have their texts in NTDLL's message table.
        if (platform::Handle ntdll = platform::GetModuleHandleW(u"NTDLL.DLL")) {
            identifier &= ~status_code_bit;
            flags |= platform::format_message_from_hmodule;
            source = ntdll;
        }
    }

    std::array<char16_t, text_buffer_units> buffer;
    platform::Dword length = platform::FormatMessageW(flags, source, identifier, 0, buffer.data(),
                                                      text_buffer_units, nullptr);
    if (length == 0) {
        auto lookup_error = static_cast<std::int32_t>(platform::GetLastError());
        return "OS Error " + std::to_string(static_cast<std::int32_t>(identifier)) +
               " (FormatMessageW() returned error " + std::to_string(lookup_error) + ")";
    }
    std::optional<std::string> text =
        utf16_to_utf8(std::u16string_view(buffer.data(), std::min(length, text_buffer_units)));
    if (!text) {
        return "OS Error " + std::to_string(static_cast<std::int32_t>(identifier)) +
               " (FormatMessageW() returned invalid UTF-16)";
    }
    text->resize(length_without_trailing_white_space(*text));
    return std::move(*text);
}

void OsError::write_message(TextSink& out) const {
    out.write(platform_error_text(code_));
    out.write(" (os error ");
    out.write(std::to_string(code_));
    out.write(")");
}

const char* os_error_kind(std::int32_t code) noexcept {
    using namespace platform;
    switch (static_cast<Dword>(code)) {
        case error_file_not_found:
        case error_path_not_found:
            return "NotFound";
        case error_access_denied:
            return "PermissionDenied";
        case error_invalid_handle:
            return "InvalidHandle";
        case error_sharing_violation:
            return "SharingViolation";
        case error_broken_pipe:
        case error_no_data:
            return "BrokenPipe";
        case error_call_not_implemented:
            return "Unsupported";
        case error_insufficient_buffer:
            return "BufferTooSmall";
        case error_service_already_running:
            return "ServiceAlreadyRunning";
        case error_service_does_not_exist:
            return "ServiceNotFound";
        case error_service_marked_for_delete:
            return "ServiceMarkedForDelete";
        case error_service_exists:
            return "ServiceExists";
        case error_service_request_timeout:
        case error_timeout:
            return "TimedOut";
        default:
            return "Other";
    }
}

std::string OsError::diagnostic_text() const {
    return "Os { code: " + std::to_string(code_) + ", kind: " + os_error_kind(code_) +
           ", message: " + quoted(platform_error_text(code_)) + " }";
}

}  // namespace vek
