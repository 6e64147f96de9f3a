// The install sequence against fakes of its operations: what it prints, what
// it reports, what it calls with which arguments, and the order in which it
// releases the service handle, the executable path and the connection.
#include "app/entry.h"
#include "installer/install_sequence.h"
#include "platform/fake/fake_files.h"
#include "platform/fake/fake_platform.h"
#include "platform/fake/fake_scm.h"
#include "support/allocation_hooks.h"
#include "support/fake_platform_test.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vek {
namespace {

namespace fake = platform::fake;
using ::testing::ElementsAreArray;

// How the fake status query answers: a raw state (decoded like the real
// query: 1 to 7 is a state, anything else a ParseValue), or a platform code.
struct QueryAnswer {
    bool fails;
    std::uint32_t value;  // the platform's code, or the raw state
    static QueryAnswer state(std::uint32_t raw) { return {false, raw}; }
    static QueryAnswer failure(platform::Dword code) { return {true, code}; }
};

struct Behaviour {
    std::optional<platform::Dword> connect_fails;
    bool executable_missing = false;
    // The executable path found, when not the default one.
    const char16_t* path = nullptr;
    std::optional<platform::Dword> open_fails;
    QueryAnswer query = QueryAnswer::state(1);
    std::optional<platform::Dword> start_fails;
    std::optional<platform::Dword> create_fails;
    std::optional<platform::Dword> describe_fails;
};

// A path long enough to live on the heap, so that its release can be seen.
const std::u16string executable_path = u"C:\\Program Files\\Vek\\vek-system-service.exe";

std::size_t path_released_at = static_cast<std::size_t>(-1);
void note_path_release() { path_released_at = fake::calls().size(); }

ScmError winapi(platform::Dword code) {
    return ScmError::Winapi{OsError(static_cast<std::int32_t>(code))};
}

// Every operation is recorded in the fake platform's call log, so that its
// order against the handles' CloseServiceHandle calls can be checked.
class FakeOperations final : public InstallOperations {
public:
    explicit FakeOperations(Behaviour behaviour) : behaviour_(behaviour) {}

    std::optional<ServiceDefinition> created;
    // The handles given out: "C" for the connection, S1, S2 for services.
    std::map<std::uint64_t, std::string> names;

    std::expected<ScmConnection, ScmError> connect(std::uint32_t access) override {
        fake::record({"connect", {access}, {}});
        if (behaviour_.connect_fails) return std::unexpected(winapi(*behaviour_.connect_fails));
        return ScmConnection(name(fake::open_handle(fake::HandleKind::manager), "C"));
    }

    std::expected<std::u16string, ChainedError> locate_service_executable(
        std::string_view key_name) override {
        fake::record({"locate " + std::string(key_name), {}, {}});
        if (behaviour_.executable_missing)
            return std::unexpected(ChainedError::from_message(
                StaticText("Bin path not exists: \"C:\\\\Tools\\\\vek-system-service.exe\"")));
        std::u16string path = behaviour_.path ? behaviour_.path : executable_path;
        testing::watch_release(path.data(), note_path_release);
        return path;
    }

    std::expected<ServiceHandle, ScmError> open_service(const ScmConnection& connection,
                                                        std::string_view key_name,
                                                        std::uint32_t access) override {
        fake::record({"open_service " + std::string(key_name),
                      {fake::number_of(connection.get()), access},
                      {}});
        if (behaviour_.open_fails) return std::unexpected(winapi(*behaviour_.open_fails));
        return ServiceHandle(name(fake::open_handle(fake::HandleKind::service), ""));
    }

    std::expected<ServiceStatusReport, ScmError> query_status(const ServiceHandle& service) override {
        fake::record({"query_status", {fake::number_of(service.get())}, {}});
        if (behaviour_.query.fails) return std::unexpected(winapi(behaviour_.query.value));
        std::uint32_t raw = behaviour_.query.value;
        if (raw < 1 || raw > 7)
            return std::unexpected(ScmError::ParseValue{
                labels::service_status, RawValueError::InvalidInteger{raw}});
        return ServiceStatusReport{0x10, static_cast<ServiceState>(raw), 0,
                                   ServiceExitCode{ServiceExitCode::Win32{0}}, 0, WaitHint{0, 0},
                                   std::nullopt};
    }

    std::expected<void, ScmError> start(const ServiceHandle& service,
                                        std::span<const std::string_view> arguments) override {
        fake::record({"start", {fake::number_of(service.get()), arguments.size()}, {}});
        if (behaviour_.start_fails) return std::unexpected(winapi(*behaviour_.start_fails));
        return {};
    }

    std::expected<ServiceHandle, ScmError> create_service(const ScmConnection& connection,
                                                          const ServiceDefinition& definition,
                                                          std::uint32_t access) override {
        fake::record({"create_service", {fake::number_of(connection.get()), access}, {}});
        created = definition;
        if (behaviour_.create_fails) return std::unexpected(winapi(*behaviour_.create_fails));
        return ServiceHandle(name(fake::open_handle(fake::HandleKind::service), ""));
    }

    std::expected<void, ScmError> set_description(const ServiceHandle& service,
                                                  std::string_view description) override {
        fake::record({"set_description " + std::string(description),
                      {fake::number_of(service.get())},
                      {}});
        if (behaviour_.describe_fails) return std::unexpected(winapi(*behaviour_.describe_fails));
        return {};
    }

private:
    platform::Handle name(platform::Handle handle, std::string given) {
        if (given.empty()) given = "S" + std::to_string(++services_);
        names[fake::number_of(handle)] = given;
        return handle;
    }

    Behaviour behaviour_;
    int services_ = 0;
};

// Records each step line in the call log as "print <line>".
class RecordingOutput final : public StepOutput {
public:
    void write_line(std::string_view line) override {
        fake::record({"print " + std::string(line), {}, {}});
        text += line;
    }
    std::string text;
};

struct Outcome {
    int exit_code = 0;
    std::string out;
    std::string err;
    // The operations, prints and releases in order, handles named C (the
    // connection) and S1, S2 (services) by the order they were given out.
    std::vector<std::string> trace;
    std::optional<ServiceDefinition> created;
};

Outcome run(Behaviour behaviour) {
    path_released_at = static_cast<std::size_t>(-1);
    FakeOperations operations(behaviour);
    RecordingOutput output;
    int exit_code = run_process(operations, output);
    testing::stop_watching();

    auto name_of = [&](std::uint64_t handle) { return operations.names.at(handle); };

    Outcome result;
    result.exit_code = exit_code;
    result.out = output.text;
    result.err = fake::std_stream(platform::std_error_handle).bytes;
    result.created = operations.created;
    const auto& calls = fake::calls();
    for (std::size_t i = 0; i <= calls.size(); ++i) {
        if (i == path_released_at) result.trace.push_back("release path");
        if (i == calls.size()) break;
        const fake::Call& call = calls[i];
        // The report looks up error texts after the run: not part of it.
        if (call.function == "FormatMessageW" || call.function == "GetModuleHandleW") continue;
        std::string line = call.function;
        if (line.starts_with("print ")) line.pop_back();  // the line feed
        if (call.function == "connect" || call.function.starts_with("open_service") ||
            call.function == "create_service") {
            line += " " + std::to_string(call.numbers.back());
        } else if (call.function == "query_status" || call.function.starts_with("set_description")) {
            line += " " + name_of(call.numbers[0]);
        } else if (call.function == "start") {
            line += " " + name_of(call.numbers[0]) + " with " + std::to_string(call.numbers[1]) +
                    " arguments";
        } else if (call.function == "CloseServiceHandle") {
            line = "close " + name_of(call.numbers[0]);
        }
        result.trace.push_back(line);
    }
    return result;
}

class InstallSequenceTest : public testing::FakePlatformTest {};

std::string winapi_report(std::string_view text, int code) {
    return "Error: IO error in winapi call\n\nCaused by:\n    " + std::string(text) +
           " (os error " + std::to_string(code) + ")\n";
}

const std::string installing = "Installing service...\n";
const std::string creating = "Creating service...\n";
const std::string starting = "Service exists, starting...\n";
const std::string installed = "Service installed successfully.\n";

struct Row {
    const char* name;
    Behaviour behaviour;
    int exit_code;
    std::string out;
    std::string err;
    std::vector<std::string> trace;
};

// The trace of a run up to the open, which every row past the search shares.
std::vector<std::string> up_to_open(std::vector<std::string> rest) {
    std::vector<std::string> trace = {"connect 3", "locate vek-system-service",
                                      "print Installing service...",
                                      "open_service vek-system-service 20"};
    trace.insert(trace.end(), rest.begin(), rest.end());
    return trace;
}

const std::vector<Row>& rows() {
    static const std::vector<Row> table = {
        {"NotRegistered", {.open_fails = 1060}, 0, installing + creating + installed, "",
         up_to_open({"print Creating service...", "create_service 18",
                     "set_description Vek system service S1", "start S1 with 0 arguments",
                     "print Service installed successfully.", "close S1", "release path",
                     "close C"})},
        {"ConnectRefused", {.connect_fails = 5, .executable_missing = true}, 1, "",
         winapi_report("Access is denied.", 5), {"connect 3"}},
        {"ExecutableMissing", {.executable_missing = true}, 1, "",
         "Error: Bin path not exists: \"C:\\\\Tools\\\\vek-system-service.exe\"\n",
         {"connect 3", "locate vek-system-service", "close C"}},
        {"Stopped", {.query = QueryAnswer::state(1)}, 0, installing + starting, "",
         up_to_open({"query_status S1", "print Service exists, starting...",
                     "start S1 with 0 arguments", "close S1", "release path", "close C"})},
        {"StartPending", {.query = QueryAnswer::state(2)}, 0, installing, "",
         up_to_open({"query_status S1", "close S1", "release path", "close C"})},
        {"StopPending", {.query = QueryAnswer::state(3)}, 0, installing + starting, "",
         up_to_open({"query_status S1", "print Service exists, starting...",
                     "start S1 with 0 arguments", "close S1", "release path", "close C"})},
        {"Running", {.query = QueryAnswer::state(4)}, 0, installing, "",
         up_to_open({"query_status S1", "close S1", "release path", "close C"})},
        {"ContinuePending", {.query = QueryAnswer::state(5)}, 0, installing, "",
         up_to_open({"query_status S1", "close S1", "release path", "close C"})},
        {"PausePending", {.query = QueryAnswer::state(6)}, 0, installing + starting, "",
         up_to_open({"query_status S1", "print Service exists, starting...",
                     "start S1 with 0 arguments", "close S1", "release path", "close C"})},
        {"Paused", {.query = QueryAnswer::state(7)}, 0, installing + starting, "",
         up_to_open({"query_status S1", "print Service exists, starting...",
                     "start S1 with 0 arguments", "close S1", "release path", "close C"})},
        {"ExistingStartRefused", {.query = QueryAnswer::state(7), .start_fails = 1056}, 1,
         installing + starting,
         winapi_report("An instance of the service is already running.", 1056),
         up_to_open({"query_status S1", "print Service exists, starting...",
                     "start S1 with 0 arguments", "close S1", "release path", "close C"})},
        {"QueryFails", {.query = QueryAnswer::failure(6)}, 0, installing + creating + installed,
         "",
         up_to_open({"query_status S1", "close S1", "print Creating service...",
                     "create_service 18", "set_description Vek system service S2",
                     "start S2 with 0 arguments", "print Service installed successfully.",
                     "close S2", "release path", "close C"})},
        {"StateZero", {.query = QueryAnswer::state(0), .create_fails = 1073}, 1,
         installing + creating, winapi_report("The specified service already exists.", 1073),
         up_to_open({"query_status S1", "close S1", "print Creating service...",
                     "create_service 18", "release path", "close C"})},
        {"StateEight", {.query = QueryAnswer::state(8), .create_fails = 1073}, 1,
         installing + creating, winapi_report("The specified service already exists.", 1073),
         up_to_open({"query_status S1", "close S1", "print Creating service...",
                     "create_service 18", "release path", "close C"})},
        {"OpenRefusedThenRegistrationRefused", {.open_fails = 5, .create_fails = 1073}, 1,
         installing + creating, winapi_report("The specified service already exists.", 1073),
         up_to_open({"print Creating service...", "create_service 18", "release path",
                     "close C"})},
        {"DescriptionRefused", {.open_fails = 1060, .describe_fails = 5}, 1,
         installing + creating, winapi_report("Access is denied.", 5),
         up_to_open({"print Creating service...", "create_service 18",
                     "set_description Vek system service S1", "close S1", "release path",
                     "close C"})},
        // The manager would expand %OS% when it starts the service.
        {"PercentSignInPathIsNotRegistered",
         {.path = u"C:\\%OS%\\vek-system-service.exe", .open_fails = 1060}, 1,
         installing + creating,
         "Error: Bin path contains a percent sign, which the service manager would expand: "
         "\"C:\\\\%OS%\\\\vek-system-service.exe\"\n",
         up_to_open({"print Creating service...", "release path", "close C"})},
        {"PercentSignInPathOfARunningService",
         {.path = u"C:\\%OS%\\vek-system-service.exe", .query = QueryAnswer::state(4)}, 0,
         installing, "", up_to_open({"query_status S1", "close S1", "release path", "close C"})},
        {"NewServiceStartRefused", {.open_fails = 1060, .start_fails = 2}, 1,
         installing + creating, winapi_report("The system cannot find the file specified.", 2),
         up_to_open({"print Creating service...", "create_service 18",
                     "set_description Vek system service S1", "start S1 with 0 arguments",
                     "close S1", "release path", "close C"})},
    };
    return table;
}

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class InstallSequenceRows : public InstallSequenceTest,
                            public ::testing::WithParamInterface<Row> {};

TEST_P(InstallSequenceRows, PrintsReportsCallsAndReleasesInOrder) {
    const Row& row = GetParam();
    Outcome r = run(row.behaviour);
    EXPECT_EQ(r.exit_code, row.exit_code);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, row.err);
    EXPECT_THAT(r.trace, ElementsAreArray(row.trace));
}

INSTANTIATE_TEST_SUITE_P(Table, InstallSequenceRows, ::testing::ValuesIn(rows()),
                         [](const auto& row_info) { return std::string(row_info.param.name); });

TEST_F(InstallSequenceTest, StartsExactlyInStatesOneThreeSixSeven) {
    for (std::uint32_t state = 1; state <= 7; ++state) {
        bool expected = state == 1 || state == 3 || state == 6 || state == 7;
        EXPECT_EQ(should_start(static_cast<ServiceState>(state)), expected) << state;
    }
}

TEST_F(InstallSequenceTest, RegistersTheServiceItsDefinitionDescribes) {
    Outcome r = run({.open_fails = 1060});
    ASSERT_TRUE(r.created.has_value());
    const ServiceDefinition& d = *r.created;
    EXPECT_EQ(d.name, "vek-system-service");
    EXPECT_EQ(d.display_name, "Vek System Service");
    EXPECT_EQ(d.service_type, 0x10u);
    EXPECT_EQ(d.start_type, 0x2u);
    EXPECT_EQ(d.error_control, 0x1u);
    EXPECT_EQ(d.executable_path, executable_path);
    EXPECT_TRUE(d.launch_arguments.empty());
    EXPECT_TRUE(d.dependencies.empty());
    EXPECT_FALSE(d.account_name.has_value());
    EXPECT_FALSE(d.account_password.has_value());
}

// The whole program against the fake platform. A service stopped and deleted
// while something (the Services console, say) still holds a handle to it
// stays registered, marked for deletion: it opens and reads stopped, but the
// manager refuses to start it, and refuses a new registration of its name
// (which a run reaches when the open is refused, as for a caller the
// service's own security keeps out). A move of the service that took
// "sc stop" and "sc delete" ends here until that handle is closed.
struct MarkedRow {
    const char* label;
    std::optional<platform::Dword> open_fails;
    std::string steps;
};
void PrintTo(const MarkedRow& row, std::ostream* os) { *os << row.label; }

class ServiceMarkedForDeletion : public InstallSequenceTest,
                                 public ::testing::WithParamInterface<MarkedRow> {};

TEST_P(ServiceMarkedForDeletion, IsReportedAsTheManagerRefusesIt) {
    fake::module_file_name().name = u"C:\\Tools\\setup.exe";
    fake::add_entry(u"C:\\Tools\\vek-system-service.exe", fake::FileEntry{});
    fake::ServiceRegistration registered;
    registered.name = u"vek-system-service";
    registered.display_name = u"Vek System Service";
    registered.binary_path_name = u"C:\\Old\\vek-system-service.exe";
    registered.marked_for_delete = true;
    fake::register_service(registered);
    if (GetParam().open_fails) fake::fail_next("OpenServiceW", *GetParam().open_fails);

    PlatformOperations operations;
    RecordingOutput output;
    int exit_code = run_process(operations, output);

    EXPECT_EQ(exit_code, 1);
    EXPECT_EQ(output.text, GetParam().steps);
    EXPECT_EQ(fake::std_stream(platform::std_error_handle).bytes,
              winapi_report("The specified service has been marked for deletion.", 1072));
    EXPECT_EQ(fake::service_count(), 1u);
    EXPECT_EQ(fake::find_service(u"vek-system-service")->binary_path_name,
              u"C:\\Old\\vek-system-service.exe");
}

INSTANTIATE_TEST_SUITE_P(
    Ways, ServiceMarkedForDeletion,
    ::testing::Values(MarkedRow{"Opened", std::nullopt, installing + starting},
                      MarkedRow{"OpenRefused", platform::error_access_denied, installing + creating}),
    [](const ::testing::TestParamInfo<MarkedRow>& row) { return std::string(row.param.label); });

TEST(ServiceDependencyTest, IdentifierMarksGroupsWithAPlus) {
    EXPECT_EQ((ServiceDependency{ServiceDependency::Kind::service, "Tcpip"}.identifier()), "Tcpip");
    EXPECT_EQ((ServiceDependency{ServiceDependency::Kind::group, "NetworkProvider"}.identifier()),
              "+NetworkProvider");
}

}  // namespace
}  // namespace vek
