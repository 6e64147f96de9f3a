// The record a service is registered from, and the entries of its dependency
// list. The client only reads it; the caller owns and releases it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vek {

// One entry of a dependency list: a service by its key name, or a
// load-ordering group by its group name.
struct ServiceDependency {
    enum class Kind { service, group };
    Kind kind;
    std::string name;

    // The key name for a service; "+" and the group name for a group.
    std::string identifier() const {
        return kind == Kind::group ? "+" + name : name;
    }
    friend bool operator==(const ServiceDependency&, const ServiceDependency&) = default;
};

// Everything needed to register a service. Owns its texts; registering only
// reads it. Texts are UTF-8; the executable path is the platform's UTF-16
// exactly as it was found, unpaired surrogates included.
struct ServiceDefinition {
    std::string name;
    std::string display_name;
    std::uint32_t service_type = 0;
    std::uint32_t start_type = 0;
    std::uint32_t error_control = 0;
    std::u16string executable_path;
    std::vector<std::string> launch_arguments;
    std::vector<ServiceDependency> dependencies;
    // Absent: the platform's default account, LocalSystem.
    std::optional<std::string> account_name;
    std::optional<std::string> account_password;
};

}  // namespace vek
