// The service control client against the real service control manager
// (Wine's, in the test prefix). The client has no operation that removes or
// reads back a registration, so set-up and clean-up call the platform
// directly.
#include "support/folders.h"

#include "installer/vek_service.h"
#include "scm/os_error.h"
#include "scm/service_control.h"
#include "scm/service_status.h"
#include "scm/utf.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace vek {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

constexpr std::string_view test_service = "vek-scm-client-test";
constexpr const wchar_t* test_service_w = L"vek-scm-client-test";

std::u16string u16(const wchar_t* text) {
    return text == nullptr ? std::u16string() : std::u16string(reinterpret_cast<const char16_t*>(text));
}

std::string utf8(std::u16string_view text) { return utf16_to_utf8(text).value_or("<invalid>"); }

// The platform's own text for a code, with its line end cut, looked up here
// without the client's code.
std::string platform_text(DWORD code) {
    wchar_t buffer[2048];
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, code, 0, buffer, 2048, nullptr);
    std::u16string text(reinterpret_cast<const char16_t*>(buffer), length);
    while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' '))
        text.pop_back();
    return utf8(text);
}

// Stops (if it runs) and deletes the test service, waiting until it is gone.
void remove_test_service() {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return;
    SC_HANDLE service =
        ::OpenServiceW(manager, test_service_w, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (service != nullptr) {
        SERVICE_STATUS status{};
        if (::ControlService(service, SERVICE_CONTROL_STOP, &status)) {
            for (int i = 0; i < 100 && status.dwCurrentState != SERVICE_STOPPED; ++i) {
                ::Sleep(100);
                if (!::QueryServiceStatus(service, &status)) break;
            }
        }
        ::DeleteService(service);
        ::CloseServiceHandle(service);
    }
    // The registration goes once its last handle is closed.
    for (int i = 0; i < 50; ++i) {
        SC_HANDLE still = ::OpenServiceW(manager, test_service_w, SERVICE_QUERY_STATUS);
        if (still == nullptr) break;
        ::CloseServiceHandle(still);
        ::Sleep(100);
    }
    ::CloseServiceHandle(manager);
}

// A REG_MULTI_SZ value of the test service's key, whole (inner NULs kept,
// final NUL dropped). The manager keeps the dependency list there, services
// and groups apart; Wine's QueryServiceConfigW leaves lpDependencies empty.
std::u16string read_list_value(const wchar_t* value) {
    wchar_t buffer[1024] = {};
    DWORD size = sizeof buffer;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE,
                       L"System\\CurrentControlSet\\Services\\vek-scm-client-test", value,
                       RRF_RT_REG_MULTI_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return u"<missing>";
    std::u16string list(reinterpret_cast<const char16_t*>(buffer), size / sizeof(wchar_t));
    if (!list.empty()) list.pop_back();
    return list;
}

struct Registration {
    std::u16string binary_path;
    std::u16string depend_on_service;
    std::u16string depend_on_group;
    std::u16string start_name;
    DWORD service_type = 0;
    DWORD start_type = 0;
    std::u16string description;
};

// What the manager keeps of the test service.
Registration read_registration() {
    Registration found;
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = ::OpenServiceW(manager, test_service_w, SERVICE_QUERY_CONFIG);
    if (service != nullptr) {
        std::vector<BYTE> buffer(8192);
        DWORD needed = 0;
        if (::QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                                  static_cast<DWORD>(buffer.size()), &needed)) {
            const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
            found.binary_path = u16(config->lpBinaryPathName);
            found.start_name = u16(config->lpServiceStartName);
            found.service_type = config->dwServiceType;
            found.start_type = config->dwStartType;
        }
        if (::QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, buffer.data(),
                                   static_cast<DWORD>(buffer.size()), &needed)) {
            found.description =
                u16(reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buffer.data())->lpDescription);
        }
        ::CloseServiceHandle(service);
    }
    ::CloseServiceHandle(manager);
    found.depend_on_service = read_list_value(L"DependOnService");
    found.depend_on_group = read_list_value(L"DependOnGroup");
    return found;
}

// A copy of the sample service program in a folder of the tests' own
// (C:\vek-scenarios carries the tests' marker), whatever the bundle's path.
std::u16string service_program_copy() {
    std::wstring folder = windows_test::scenario_folder(L"scm client");
    std::wstring copy = folder + L"\\vek-system-service.exe";
    windows_test::copy_file(windows_test::built_service(), copy);
    return u16(copy.c_str());
}

bool file_exists(const std::u16string& path) {
    DWORD attributes = ::GetFileAttributesW(reinterpret_cast<const wchar_t*>(path.c_str()));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

ServiceDefinition test_definition(std::u16string executable_path) {
    ServiceDefinition definition;
    definition.name = std::string(test_service);
    definition.display_name = "Vek SCM Client Test";
    definition.service_type = 0x10;
    // On demand only: Wine would start an automatic service again whenever
    // the prefix's manager starts.
    definition.start_type = SERVICE_DEMAND_START;
    definition.error_control = SERVICE_ERROR_NORMAL;
    definition.executable_path = std::move(executable_path);
    return definition;
}

std::int32_t winapi_code(const ScmError& error) {
    const auto* winapi = error.get_if<ScmError::Winapi>();
    return winapi == nullptr ? -1 : winapi->error.code();
}

class ScmClient : public ::testing::Test {
protected:
    void SetUp() override { remove_test_service(); }
    void TearDown() override { remove_test_service(); }
};

TEST_F(ScmClient, Connects) {
    auto connection = connect(manager_access);
    ASSERT_TRUE(connection.has_value()) << connection.error().cause()->message();
    EXPECT_NE(connection->get(), nullptr);
}

TEST_F(ScmClient, OpeningAnUnregisteredServiceIs1060WithThePlatformText) {
    auto connection = connect(manager_access);
    ASSERT_TRUE(connection.has_value());
    auto service = open_service(*connection, test_service, open_service_access);
    ASSERT_FALSE(service.has_value());
    EXPECT_EQ(winapi_code(service.error()), 1060) << service.error().diagnostic_text();
    EXPECT_EQ(service.error().message(), "IO error in winapi call");
    ASSERT_NE(service.error().cause(), nullptr);
    std::string text = platform_text(1060);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(service.error().cause()->message(), text + " (os error 1060)");
}

TEST_F(ScmClient, OsErrorOfCode5IsThePlatformText) {
    std::string message = OsError(5).message();
    std::string text = platform_text(5);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(message, text + " (os error 5)");
    EXPECT_EQ(message.find("OS Error"), std::string::npos);
    EXPECT_EQ(message.find('\n'), std::string::npos);
}

TEST_F(ScmClient, RegistersDescribesAndQueries) {
    auto connection = connect(manager_access);
    ASSERT_TRUE(connection.has_value());
    // A program that is not there, in the tests' own folder.
    windows_test::make_scenarios_root();
    ServiceDefinition definition =
        test_definition(u"C:\\vek-scenarios\\Vek Test\\vek-scm-client-test.exe");
    definition.launch_arguments = {"--mode", "two words"};
    definition.dependencies = {{ServiceDependency::Kind::service, "RpcSs"},
                               {ServiceDependency::Kind::group, "Vek Group"}};
    {
        auto created = create_service(*connection, definition, create_service_access);
        ASSERT_TRUE(created.has_value()) << created.error().cause()->message();
        auto described = set_description(*created, "Vek SCM client test service");
        ASSERT_TRUE(described.has_value()) << described.error().cause()->message();
    }

    Registration registration = read_registration();
    EXPECT_EQ(utf8(registration.binary_path),
              "\"C:\\vek-scenarios\\Vek Test\\vek-scm-client-test.exe\" --mode \"two words\"");
    // "RpcSs", 0, "+Vek Group", 0, 0: the manager files the two kinds apart.
    EXPECT_EQ(registration.depend_on_service, std::u16string(u"RpcSs\0", 6));
    EXPECT_EQ(registration.depend_on_group, std::u16string(u"Vek Group\0", 10));
    EXPECT_EQ(registration.service_type, 0x10u);
    EXPECT_EQ(registration.start_type, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(utf8(registration.start_name), "LocalSystem");
    EXPECT_EQ(utf8(registration.description), "Vek SCM client test service");

    auto service = open_service(*connection, test_service, open_service_access);
    ASSERT_TRUE(service.has_value()) << service.error().cause()->message();
    auto status = query_status(*service);
    ASSERT_TRUE(status.has_value()) << status.error().diagnostic_text();
    EXPECT_EQ(status->current_state, ServiceState::Stopped);
    EXPECT_EQ(status->service_type, 0x10u);
    EXPECT_EQ(status->process_id, std::nullopt);

    auto again = create_service(*connection, definition, create_service_access);
    ASSERT_FALSE(again.has_value());
    EXPECT_EQ(winapi_code(again.error()), 1073);

    // The program does not exist: the manager refuses the start, and the
    // client reports it as a failure with the manager's code.
    auto started = start(*service, {});
    ASSERT_FALSE(started.has_value());
    EXPECT_GT(winapi_code(started.error()), 0) << started.error().diagnostic_text();
}

TEST_F(ScmClient, StartsARealServiceProgram) {
    std::u16string program = service_program_copy();
    ASSERT_TRUE(file_exists(program));

    auto connection = connect(manager_access);
    ASSERT_TRUE(connection.has_value());
    {
        auto created = create_service(*connection, test_definition(program), create_service_access);
        ASSERT_TRUE(created.has_value()) << created.error().cause()->message();
        auto started = start(*created, {});
        ASSERT_TRUE(started.has_value()) << started.error().cause()->message();
    }
    auto service = open_service(*connection, test_service, open_service_access);
    ASSERT_TRUE(service.has_value());
    auto status = query_status(*service);
    ASSERT_TRUE(status.has_value()) << status.error().diagnostic_text();
    // start() does not wait; the service may still be reporting its start.
    if (status->current_state == ServiceState::Running) {
        ASSERT_TRUE(status->process_id.has_value());
        EXPECT_NE(*status->process_id, 0u);
    } else {
        EXPECT_EQ(status->current_state, ServiceState::StartPending);
        EXPECT_EQ(status->process_id, std::nullopt);
    }
    auto second = start(*service, {});
    ASSERT_FALSE(second.has_value());
    EXPECT_EQ(winapi_code(second.error()), 1056);
}

}  // namespace
}  // namespace vek
