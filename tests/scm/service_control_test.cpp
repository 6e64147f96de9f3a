// The client's operations against the fake manager: what each hands to the
// platform, what it refuses before any call, the code it reports, and that
// every handle is closed exactly once (the fixture checks the last).
#include "scm/service_control.h"

#include "installer/vek_service.h"
#include "platform/fake/fake_platform.h"
#include "platform/fake/fake_scm.h"
#include "support/allocation_hooks.h"
#include "support/fake_platform_test.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vek {
namespace {

namespace fake = platform::fake;
using namespace std::string_literals;
using namespace std::string_view_literals;
using Texts = std::vector<std::optional<std::u16string>>;
using Numbers = std::vector<std::uint64_t>;
constexpr std::nullopt_t none = std::nullopt;

std::uint64_t number(platform::Handle handle) { return fake::number_of(handle); }

void expect_winapi(const ScmError& error, std::int32_t code) {
    const auto* winapi = error.get_if<ScmError::Winapi>();
    ASSERT_NE(winapi, nullptr) << error.diagnostic_text();
    EXPECT_EQ(winapi->error.code(), code);
}

Numbers closed_handles() {
    Numbers closed;
    for (const fake::Call& call : fake::calls_of("CloseServiceHandle"))
        closed.push_back(call.numbers.at(0));
    return closed;
}

fake::ServiceRegistration registered(std::u16string name, platform::Dword state) {
    fake::ServiceRegistration service;
    service.name = std::move(name);
    service.display_name = service.name + u" display";
    service.binary_path_name = u"C:\\x.exe";
    service.state = state;
    return service;
}

// A definition every field of which is present and good.
ServiceDefinition full_definition() {
    ServiceDefinition definition = make_service_definition(u"C:\\Program Files\\Vek\\svc.exe");
    definition.launch_arguments = {"--mode", "a b", "", "last"};
    definition.dependencies = {{ServiceDependency::Kind::service, "A"},
                               {ServiceDependency::Kind::group, "G"}};
    definition.account_name = ".\\vek";
    definition.account_password = "secret";
    return definition;
}

// Watching what an operation releases after its failed platform call: the
// hook watches the first buffer the call was given; when the operation frees
// it, the last-error code is overwritten. An operation that reads the code
// only after releasing its buffers then reports the wrong code.
bool buffer_released = false;
void overwrite_last_error() {
    buffer_released = true;
    platform::SetLastError(0xDEAD);
}
void watch_first_buffer(std::span<const void* const> pointers) {
    for (const void* pointer : pointers) {
        if (pointer != nullptr) {
            vek::testing::watch_release(pointer, overwrite_last_error);
            return;
        }
    }
}

class ServiceControl : public vek::testing::FakePlatformTest {
protected:
    void TearDown() override {
        vek::testing::stop_watching();
        fake::set_scm_call_hook(nullptr);
        FakePlatformTest::TearDown();
    }

    // Arms the release watch for the next manager call.
    void watch_release_after_next_call() {
        buffer_released = false;
        fake::set_scm_call_hook(watch_first_buffer);
    }

    ScmConnection connected() {
        auto connection = connect(manager_access);
        EXPECT_TRUE(connection.has_value());
        return std::move(*connection);
    }
};

// --- connect ---------------------------------------------------------------

TEST_F(ServiceControl, ConnectOpensTheLocalDefaultDatabaseAndClosesOnce) {
    platform::Handle handle;
    {
        auto connection = connect(0x3);
        ASSERT_TRUE(connection.has_value());
        handle = connection->get();
        auto calls = fake::calls_of("OpenSCManagerW");
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].numbers, Numbers{0x3});
        EXPECT_EQ(calls[0].texts, (Texts{none, none}));
        EXPECT_TRUE(closed_handles().empty());
    }
    EXPECT_EQ(closed_handles(), Numbers{number(handle)});
}

TEST_F(ServiceControl, ConnectFailureIsWinapiAndClosesNothing) {
    fake::fail_next("OpenSCManagerW", 5);
    auto connection = connect(0x3);
    ASSERT_FALSE(connection.has_value());
    expect_winapi(connection.error(), 5);
    EXPECT_TRUE(closed_handles().empty());
}

TEST_F(ServiceControl, ConnectWithoutTheRightsIsAccessDenied) {
    fake::set_manager_rights(0x1);
    auto connection = connect(0x3);
    ASSERT_FALSE(connection.has_value());
    expect_winapi(connection.error(), 5);
}

// --- open_service ----------------------------------------------------------

TEST_F(ServiceControl, OpenServiceOfUnregisteredNameIs1060WithThePlatformText) {
    ScmConnection connection = connected();
    auto service = open_service(connection, service_key_name, open_service_access);
    ASSERT_FALSE(service.has_value());
    expect_winapi(service.error(), 1060);
    EXPECT_EQ(service.error().message(), "IO error in winapi call");
    ASSERT_NE(service.error().cause(), nullptr);
    EXPECT_EQ(service.error().cause()->message(),
              "The specified service does not exist as an installed service. (os error 1060)");
}

TEST_F(ServiceControl, OpenServicePassesNameAndMask) {
    fake::register_service(registered(u"vek-system-service", fake::service_stopped));
    ScmConnection connection = connected();
    platform::Handle service_handle;
    {
        auto service = open_service(connection, service_key_name, open_service_access);
        ASSERT_TRUE(service.has_value());
        service_handle = service->get();
        auto calls = fake::calls_of("OpenServiceW");
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].numbers, (Numbers{number(connection.get()), 0x14}));
        EXPECT_EQ(calls[0].texts, (Texts{u"vek-system-service"}));
        EXPECT_EQ(fake::scm_handle_info(service_handle)->access, 0x14u);
    }
    EXPECT_EQ(closed_handles(), Numbers{number(service_handle)});
}

TEST_F(ServiceControl, OpenServiceTakesAFinalNulAsTheTerminator) {
    fake::register_service(registered(u"vek-system-service", fake::service_stopped));
    ScmConnection connection = connected();
    auto service = open_service(connection, "vek-system-service\0"s, open_service_access);
    ASSERT_TRUE(service.has_value());
    EXPECT_EQ(fake::calls_of("OpenServiceW")[0].texts, (Texts{u"vek-system-service"}));
}

TEST_F(ServiceControl, OpenServiceRefusesInnerNulWithoutCallingThePlatform) {
    ScmConnection connection = connected();
    auto service = open_service(connection, "vek\0system"s, open_service_access);
    ASSERT_FALSE(service.has_value());
    EXPECT_EQ(service.error().diagnostic_text(), "ArgumentHasNulByte(\"service name\")");
    EXPECT_TRUE(fake::calls_of("OpenServiceW").empty());
}

TEST_F(ServiceControl, OpenServiceReadsTheCodeBeforeReleasingTheName) {
    ScmConnection connection = connected();
    fake::fail_next("OpenServiceW", 5);
    watch_release_after_next_call();
    auto service = open_service(connection, service_key_name, open_service_access);
    ASSERT_FALSE(service.has_value());
    EXPECT_TRUE(buffer_released);
    expect_winapi(service.error(), 5);
}

// --- create_service --------------------------------------------------------

TEST_F(ServiceControl, CreateServicePassesTheInstallersDefinition) {
    ScmConnection connection = connected();
    ServiceDefinition definition =
        make_service_definition(u"C:\\Program Files\\Vek\\vek-system-service.exe");
    auto service = create_service(connection, definition, create_service_access);
    ASSERT_TRUE(service.has_value());

    auto calls = fake::calls_of("CreateServiceW");
    ASSERT_EQ(calls.size(), 1u);
    // Manager, access, type, start type, error control, tag requested.
    EXPECT_EQ(calls[0].numbers, (Numbers{number(connection.get()), 0x12, 0x10, 0x2, 0x1, 0}));
    // Name, display name, command line, group, dependencies, account, password.
    EXPECT_EQ(calls[0].texts,
              (Texts{u"vek-system-service", u"Vek System Service",
                     u"\"C:\\Program Files\\Vek\\vek-system-service.exe\"", none, none, none,
                     none}));
    EXPECT_EQ(fake::scm_handle_info(service->get())->access, 0x12u);
    ASSERT_NE(fake::find_service(u"vek-system-service"), nullptr);
}

TEST_F(ServiceControl, CreateServicePassesEveryPresentField) {
    ScmConnection connection = connected();
    auto service = create_service(connection, full_definition(), 0xF01FF);
    ASSERT_TRUE(service.has_value());

    const fake::ServiceRegistration* stored = fake::find_service(u"vek-system-service");
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->binary_path_name,
              u"\"C:\\Program Files\\Vek\\svc.exe\" --mode \"a b\" \"\" last");
    EXPECT_EQ(stored->dependencies, u"A\0+G\0"s);
    EXPECT_EQ(stored->service_start_name, u".\\vek");
    EXPECT_EQ(stored->password, u"secret");
    EXPECT_EQ(stored->load_order_group, none);
    EXPECT_FALSE(stored->tag_requested);
    EXPECT_EQ(fake::calls_of("CreateServiceW")[0].numbers.at(1), 0xF01FFu);
}

TEST_F(ServiceControl, CreateServiceOfRegisteredNameIs1073AndTheConnectionStaysUsable) {
    fake::register_service(registered(u"vek-system-service", fake::service_running));
    ScmConnection connection = connected();
    auto created = create_service(connection, make_service_definition(u"C:\\x.exe"),
                                  create_service_access);
    ASSERT_FALSE(created.has_value());
    expect_winapi(created.error(), 1073);

    auto opened = open_service(connection, service_key_name, open_service_access);
    EXPECT_TRUE(opened.has_value());
}

TEST_F(ServiceControl, CreateServiceTakesAFinalNulOfTheNameAsTheTerminator) {
    ScmConnection connection = connected();
    ServiceDefinition definition = make_service_definition(u"C:\\x.exe");
    definition.name = "vek-system-service\0"s;
    auto service = create_service(connection, definition, create_service_access);
    ASSERT_TRUE(service.has_value());
    EXPECT_EQ(fake::calls_of("CreateServiceW")[0].texts.at(0), u"vek-system-service");
}

TEST_F(ServiceControl, CreateServiceReadsTheCodeBeforeReleasingItsTexts) {
    ScmConnection connection = connected();
    fake::fail_next("CreateServiceW", 1072);
    watch_release_after_next_call();
    auto service = create_service(connection, full_definition(), create_service_access);
    ASSERT_FALSE(service.has_value());
    EXPECT_TRUE(buffer_released);
    expect_winapi(service.error(), 1072);
}

// Which field is reported when several are bad: the first in the order name,
// display name, account name, password, path, arguments, dependencies.
struct RefusalRow {
    const char* name;
    void (*spoil)(ServiceDefinition&);
    const char* diagnostic;
};

class CreateServiceRefusal : public ServiceControl,
                             public ::testing::WithParamInterface<RefusalRow> {};

TEST_P(CreateServiceRefusal, ReportsTheFirstBadFieldWithoutCallingThePlatform) {
    ScmConnection connection = connected();
    ServiceDefinition definition = full_definition();
    GetParam().spoil(definition);
    auto service = create_service(connection, definition, create_service_access);
    ASSERT_FALSE(service.has_value());
    EXPECT_EQ(service.error().diagnostic_text(), GetParam().diagnostic);
    EXPECT_TRUE(fake::calls_of("CreateServiceW").empty());
    EXPECT_EQ(fake::service_count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Order, CreateServiceRefusal,
    ::testing::Values(
        RefusalRow{"NameBeforeDisplayName",
                   [](ServiceDefinition& d) {
                       d.name = "a\0b"s;
                       d.display_name = "a\0b"s;
                   },
                   "ArgumentHasNulByte(\"service name\")"},
        RefusalRow{"DisplayNameBeforeAccount",
                   [](ServiceDefinition& d) {
                       d.display_name = "a\0b"s;
                       d.account_name = "a\0b"s;
                   },
                   "ArgumentHasNulByte(\"display name\")"},
        RefusalRow{"AccountBeforePassword",
                   [](ServiceDefinition& d) {
                       d.account_name = "a\0b"s;
                       d.account_password = "a\0b"s;
                   },
                   "ArgumentHasNulByte(\"account name\")"},
        RefusalRow{"PasswordBeforePath",
                   [](ServiceDefinition& d) {
                       d.account_password = "a\0b"s;
                       d.executable_path = u"C:\\\0x.exe"s;
                   },
                   "ArgumentHasNulByte(\"account password\")"},
        RefusalRow{"PathBeforeArguments",
                   [](ServiceDefinition& d) {
                       d.executable_path = u"C:\\\0x.exe"s;
                       d.launch_arguments[0] = "a\0b"s;
                   },
                   "ArgumentHasNulByte(\"executable path\")"},
        RefusalRow{"ThirdArgumentBeforeDependencies",
                   [](ServiceDefinition& d) {
                       d.launch_arguments[2] = "a\0b"s;
                       d.launch_arguments[3] = "a\0b"s;
                       d.dependencies[0].name = "a\0b"s;
                   },
                   "ArgumentArrayElementHasNulByte(\"launch argument\", 2)"},
        RefusalRow{"Dependency",
                   [](ServiceDefinition& d) { d.dependencies[1].name = "a\0b"s; },
                   "ArgumentHasNulByte(\"dependency\")"},
        RefusalRow{"DriverWithArgumentsBeforeAnyText",
                   [](ServiceDefinition& d) {
                       d.service_type = 0x1;
                       d.name = "a\0b"s;
                   },
                   "LaunchArgumentsNotSupported"}),
    [](const auto& row) { return std::string(row.param.name); });

// Drivers (kernel, file system, recognizer) take no launch arguments; every
// other type may, and a driver without arguments is registered.
struct DriverRow {
    std::uint32_t service_type;
    bool with_arguments;
    bool refused;
};

class CreateServiceDriver : public ServiceControl,
                            public ::testing::WithParamInterface<DriverRow> {};

TEST_P(CreateServiceDriver, RefusesLaunchArgumentsOfDriversOnly) {
    ScmConnection connection = connected();
    ServiceDefinition definition = make_service_definition(u"C:\\x.sys");
    definition.service_type = GetParam().service_type;
    if (GetParam().with_arguments) definition.launch_arguments = {"-v"};
    auto service = create_service(connection, definition, create_service_access);
    if (GetParam().refused) {
        ASSERT_FALSE(service.has_value());
        EXPECT_EQ(service.error().message(), "kernel drivers do not support launch arguments");
        EXPECT_TRUE(fake::calls_of("CreateServiceW").empty());
    } else {
        ASSERT_TRUE(service.has_value()) << service.error().diagnostic_text();
        EXPECT_EQ(fake::calls_of("CreateServiceW")[0].numbers.at(2), GetParam().service_type);
    }
}

INSTANTIATE_TEST_SUITE_P(Types, CreateServiceDriver,
                         ::testing::Values(DriverRow{0x1, true, true}, DriverRow{0x2, true, true},
                                           DriverRow{0x8, true, true}, DriverRow{0x1, false, false},
                                           DriverRow{0x2, false, false},
                                           DriverRow{0x10, true, false},
                                           DriverRow{0x20, true, false},
                                           DriverRow{0x110, true, false}));

// --- set_description -------------------------------------------------------

TEST_F(ServiceControl, SetDescriptionPassesLevelOneAndTheText) {
    ScmConnection connection = connected();
    auto service = create_service(connection, make_service_definition(u"C:\\x.exe"),
                                  create_service_access);
    ASSERT_TRUE(service.has_value());
    ASSERT_TRUE(set_description(*service, service_description_text).has_value());

    auto calls = fake::calls_of("ChangeServiceConfig2W");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].numbers, (Numbers{number(service->get()), 1, 1}));
    EXPECT_EQ(calls[0].texts, (Texts{u"Vek system service"}));
    EXPECT_EQ(fake::find_service(u"vek-system-service")->description, u"Vek system service");
}

TEST_F(ServiceControl, SetDescriptionRefusesInnerNulWithoutCallingThePlatform) {
    ScmConnection connection = connected();
    auto service = create_service(connection, make_service_definition(u"C:\\x.exe"),
                                  create_service_access);
    ASSERT_TRUE(service.has_value());
    auto described = set_description(*service, "Vek\0system"s);
    ASSERT_FALSE(described.has_value());
    EXPECT_EQ(described.error().message(), "service description contains a nul byte");
    EXPECT_TRUE(fake::calls_of("ChangeServiceConfig2W").empty());
}

TEST_F(ServiceControl, SetDescriptionFailureIsWinapiReadBeforeTheTextIsReleased) {
    ScmConnection connection = connected();
    auto service = create_service(connection, make_service_definition(u"C:\\x.exe"),
                                  create_service_access);
    ASSERT_TRUE(service.has_value());
    fake::fail_next("ChangeServiceConfig2W", 1072);
    watch_release_after_next_call();
    auto described = set_description(*service, service_description_text);
    ASSERT_FALSE(described.has_value());
    EXPECT_TRUE(buffer_released);
    expect_winapi(described.error(), 1072);
}

// --- start -----------------------------------------------------------------

TEST_F(ServiceControl, StartWithoutArgumentsPassesCountZero) {
    fake::register_service(registered(u"vek-system-service", fake::service_stopped));
    ScmConnection connection = connected();
    auto service = open_service(connection, service_key_name, open_service_access);
    ASSERT_TRUE(service.has_value());
    ASSERT_TRUE(start(*service, {}).has_value());

    auto calls = fake::calls_of("StartServiceW");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].numbers, (Numbers{number(service->get()), 0}));
    EXPECT_TRUE(calls[0].texts.empty());
    EXPECT_EQ(fake::find_service(u"vek-system-service")->state, fake::service_running);
}

TEST_F(ServiceControl, StartPassesItsArgumentsUnquotedInOrder) {
    fake::register_service(registered(u"vek-system-service", fake::service_stopped));
    ScmConnection connection = connected();
    auto service = open_service(connection, service_key_name, open_service_access);
    ASSERT_TRUE(service.has_value());
    std::string_view arguments[] = {"one", "two words", "", "caf\xC3\xA9"};
    ASSERT_TRUE(start(*service, arguments).has_value());

    auto calls = fake::calls_of("StartServiceW");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].numbers.at(1), 4u);
    EXPECT_EQ(calls[0].texts, (Texts{u"one", u"two words", u"", u"caf\u00E9"}));
}

TEST_F(ServiceControl, StartRefusesItsSecondArgumentWithoutIndexOrPlatformCall) {
    fake::register_service(registered(u"vek-system-service", fake::service_stopped));
    ScmConnection connection = connected();
    auto service = open_service(connection, service_key_name, open_service_access);
    ASSERT_TRUE(service.has_value());
    std::string_view arguments[] = {"one", "t\0wo"sv, "th\0ree"sv};
    auto started = start(*service, arguments);
    ASSERT_FALSE(started.has_value());
    EXPECT_EQ(started.error().diagnostic_text(), "ArgumentHasNulByte(\"start argument\")");
    EXPECT_EQ(started.error().message(), "start argument contains a nul byte");
    EXPECT_TRUE(fake::calls_of("StartServiceW").empty());
    EXPECT_EQ(fake::find_service(u"vek-system-service")->state, fake::service_stopped);
}

TEST_F(ServiceControl, StartOfRunningServiceIs1056) {
    fake::register_service(registered(u"vek-system-service", fake::service_running));
    ScmConnection connection = connected();
    auto service = open_service(connection, service_key_name, open_service_access);
    ASSERT_TRUE(service.has_value());
    auto started = start(*service, {});
    ASSERT_FALSE(started.has_value());
    expect_winapi(started.error(), 1056);
}

TEST_F(ServiceControl, StartReadsTheCodeBeforeReleasingItsArguments) {
    fake::register_service(registered(u"vek-system-service", fake::service_stopped));
    ScmConnection connection = connected();
    auto service = open_service(connection, service_key_name, open_service_access);
    ASSERT_TRUE(service.has_value());
    fake::fail_next("StartServiceW", 1053);
    watch_release_after_next_call();
    std::string_view arguments[] = {"a long start argument"};
    auto started = start(*service, arguments);
    ASSERT_FALSE(started.has_value());
    EXPECT_TRUE(buffer_released);
    expect_winapi(started.error(), 1053);
}

// --- handles ---------------------------------------------------------------

TEST_F(ServiceControl, FailedOperationsLeaveHandlesToBeClosedOnceInReverseOrder) {
    fake::register_service(registered(u"vek-system-service", fake::service_running));
    platform::Handle manager;
    platform::Handle service_handle;
    {
        ScmConnection connection = connected();
        manager = connection.get();
        auto service = open_service(connection, service_key_name, open_service_access);
        ASSERT_TRUE(service.has_value());
        service_handle = service->get();
        // The opened handle has no SERVICE_CHANGE_CONFIG: refused by the
        // manager. The service runs already: the start is refused too.
        EXPECT_FALSE(set_description(*service, service_description_text).has_value());
        EXPECT_FALSE(start(*service, {}).has_value());
        EXPECT_FALSE(open_service(connection, "missing", open_service_access).has_value());
        EXPECT_TRUE(closed_handles().empty());
    }
    EXPECT_EQ(closed_handles(), (Numbers{number(service_handle), number(manager)}));
}

TEST_F(ServiceControl, MovedHandlesCloseOnceFromTheirLastOwner) {
    fake::register_service(registered(u"vek-system-service", fake::service_stopped));
    fake::register_service(registered(u"other", fake::service_stopped));
    ScmConnection connection = connected();
    auto first = open_service(connection, service_key_name, open_service_access);
    auto second = open_service(connection, "other", open_service_access);
    ASSERT_TRUE(first.has_value() && second.has_value());
    platform::Handle first_handle = first->get();
    platform::Handle second_handle = second->get();

    ServiceHandle moved = std::move(*first);
    EXPECT_EQ(first->get(), nullptr);
    EXPECT_TRUE(closed_handles().empty());
    // Assigning over a handle closes the one it held.
    moved = std::move(*second);
    EXPECT_EQ(closed_handles(), Numbers{number(first_handle)});
    EXPECT_EQ(moved.get(), second_handle);
}

TEST_F(ServiceControl, ClosingKeepsTheLastErrorCode) {
    ScmConnection connection = connected();
    {
        auto service = create_service(connection, make_service_definition(u"C:\\x.exe"),
                                      create_service_access);
        ASSERT_TRUE(service.has_value());
        platform::SetLastError(1234);
    }
    EXPECT_EQ(platform::GetLastError(), 1234u);
}

}  // namespace
}  // namespace vek
