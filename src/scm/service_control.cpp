#include "scm/service_control.h"

#include "scm/command_line.h"
#include "scm/wide_text.h"

#include <optional>
#include <vector>

namespace vek {

namespace {

// The platform's pointer for an optional text: NULL when absent.
const char16_t* pointer_of(const std::optional<WideText>& text) noexcept {
    return text ? text->c_str() : nullptr;
}

}  // namespace

std::expected<ScmConnection, ScmError> connect(std::uint32_t access) {
    // Both names NULL: the local machine's default, active database.
    platform::Handle handle = platform::OpenSCManagerW(nullptr, nullptr, access);
    if (handle == nullptr) return std::unexpected(ScmError::last_winapi_error());
    return ScmConnection(handle);
}

std::expected<ServiceHandle, ScmError> open_service(const ScmConnection& connection,
                                                    std::string_view key_name,
                                                    std::uint32_t access) {
    auto name = WideText::from_utf8(key_name, labels::service_name);
    if (!name) return std::unexpected(std::move(name.error()));

    platform::Handle handle = platform::OpenServiceW(connection.get(), name->c_str(), access);
    if (handle == nullptr) return std::unexpected(ScmError::last_winapi_error());
    return ServiceHandle(handle);
}

std::expected<ServiceHandle, ScmError> create_service(const ScmConnection& connection,
                                                      const ServiceDefinition& definition,
                                                      std::uint32_t access) {
    // A driver's registration has no use for launch arguments, whatever its
    // texts hold: refused before any of them is looked at.
    if (is_driver_type(definition.service_type) && !definition.launch_arguments.empty())
        return std::unexpected(ScmError::LaunchArgumentsNotSupported{});

    // The conversions, in this order: the first bad field is the one reported.
    auto name = WideText::from_utf8(definition.name, labels::service_name);
    if (!name) return std::unexpected(std::move(name.error()));
    auto display_name = WideText::from_utf8(definition.display_name, labels::display_name);
    if (!display_name) return std::unexpected(std::move(display_name.error()));

    std::optional<WideText> account_name;
    if (definition.account_name) {
        auto text = WideText::from_utf8(*definition.account_name, labels::account_name);
        if (!text) return std::unexpected(std::move(text.error()));
        account_name = std::move(*text);
    }
    std::optional<WideText> account_password;
    if (definition.account_password) {
        auto text = WideText::from_utf8(*definition.account_password, labels::account_password);
        if (!text) return std::unexpected(std::move(text.error()));
        account_password = std::move(*text);
    }

    auto command_line = build_command_line(definition.executable_path, definition.launch_arguments);
    if (!command_line) return std::unexpected(std::move(command_line.error()));
    auto dependencies = encode_dependencies(definition.dependencies);
    if (!dependencies) return std::unexpected(std::move(dependencies.error()));

    // No load-ordering group and no tag: both NULL.
    platform::Handle handle = platform::CreateServiceW(
        connection.get(), name->c_str(), display_name->c_str(), access, definition.service_type,
        definition.start_type, definition.error_control, command_line->c_str(), nullptr, nullptr,
        dependencies->get(), pointer_of(account_name), pointer_of(account_password));
    // Read before the texts above are released at the return.
    if (handle == nullptr) return std::unexpected(ScmError::last_winapi_error());
    return ServiceHandle(handle);
}

std::expected<void, ScmError> set_description(const ServiceHandle& service,
                                              std::string_view description) {
    auto text = WideText::from_utf8(description, labels::service_description);
    if (!text) return std::unexpected(std::move(text.error()));

    platform::ServiceDescription record{text->data()};
    if (platform::ChangeServiceConfig2W(service.get(), platform::service_config_description,
                                        &record) == 0)
        return std::unexpected(ScmError::last_winapi_error());
    return {};
}

std::expected<void, ScmError> start(const ServiceHandle& service,
                                    std::span<const std::string_view> arguments) {
    std::vector<WideText> texts;
    texts.reserve(arguments.size());
    for (std::string_view argument : arguments) {
        // The first bad argument ends it; no index is reported for start
        // arguments.
        auto text = WideText::from_utf8(argument, labels::start_argument);
        if (!text) return std::unexpected(std::move(text.error()));
        texts.push_back(std::move(*text));
    }
    std::vector<const char16_t*> vector;
    vector.reserve(texts.size());
    for (const WideText& text : texts) vector.push_back(text.c_str());

    if (platform::StartServiceW(service.get(), static_cast<platform::Dword>(vector.size()),
                                vector.data()) == 0)
        return std::unexpected(ScmError::last_winapi_error());
    return {};
}

}  // namespace vek
