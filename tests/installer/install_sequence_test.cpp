// The install sequence against fakes of its operations: what it prints, what
// it reports, what it calls with which arguments, and the order in which it
// releases the service handle, the executable path and the connection.
#include "app/entry.h"
#include "installer/install_sequence.h"
#include "platform/fake/fake_platform.h"
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
        std::u16string path = executable_path;
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
    int exit_code;
    std::string out;
    std::string err;
    // The operations, prints and releases in order, handles named C (the
    // connection) and S1, S2 (services) by the order they were given out.
    std::vector<std::string> trace;
    std::optional<ServiceDefinition> created;
    // The handles given out: "C" for the connection, S1, S2 for services.
    std::map<std::uint64_t, std::string> names;
};

Outcome run(Behaviour behaviour) {
    path_released_at = static_cast<std::size_t>(-1);
    FakeOperations operations(behaviour);
    RecordingOutput output;
    int exit_code = run_process(operations, output);
    testing::stop_watching();

    auto name_of = [&](std::uint64_t handle) { return operations.names.at(handle); };

    Outcome result{exit_code, output.text, fake::std_stream(platform::std_error_handle).bytes, {},
               operations.created};
    const auto& calls = fake::calls();
    for (std::size_t i = 0; i <= calls.size(); ++i) {
        if (i == path_released_at) result.trace.push_back("release path");
        if (i == calls.size()) break;
        const fake::Call& call = calls[i];
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

const std::string winapi_report_5 =
    "Error: IO error in winapi call\n\nCaused by:\n    Access is denied. (os error 5)\n";

TEST_F(InstallSequenceTest, FirstInstallRegistersDescribesAndStarts) {
    Outcome r = run({.open_fails = 1060});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "Installing service...\nCreating service...\nService installed successfully.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_THAT(r.trace, ElementsAreArray<std::string>({
                             "connect 3",
                             "locate vek-system-service",
                             "print Installing service...",
                             "open_service vek-system-service 20",
                             "print Creating service...",
                             "create_service 18",
                             "set_description Vek system service S1",
                             "start S1 with 0 arguments",
                             "print Service installed successfully.",
                             "close S1",
                             "release path",
                             "close C",
                         }));
}

}  // namespace
}  // namespace vek
