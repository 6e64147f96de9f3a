// The Windows Installer package's registration action: it runs
// vek-system-service-setup.exe, the program that registers and starts the
// service, and carries what the program writes into the installation's log.
// The logic lives here, behind ActionHost; custom_action.cpp gives it
// Windows Installer and the service manager.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vek::custom_action {

// The Error table's number of the program's failure report. Windows
// Installer logs an authored error of a failed installation in the
// Application event log under this number + 10,000.
inline constexpr int program_failed_error = 25000;

// SERVICE_DISABLED: the start type an administrator sets to keep a service
// from running.
inline constexpr std::uint32_t service_start_disabled = 0x4;

// Text for a record that Windows Installer formats ([Property], [1], {...}):
// every bracket and brace escaped, so that it is logged as written.
std::u16string literal_record_text(std::u16string_view text);

// Cuts a program's output, UTF-8 bytes as they come from a pipe, into lines
// (without their line ends). A line longer than max_line_bytes is cut there
// and goes on in the next one, so that one unending line cannot grow
// without bound.
class OutputLines {
public:
    static constexpr std::size_t max_line_bytes = 4096;

    // The lines that `bytes` completes.
    std::vector<std::u16string> add(std::string_view bytes);
    // The last line, when the output ended without a line end.
    std::optional<std::u16string> finish();

private:
    std::string pending_;
};

// A program's run as the action saw it.
struct ProgramRun {
    // Its exit code; nullopt when it could not be started or did not end
    // in time (`failure` says which).
    std::optional<std::uint32_t> exit_code;
    std::u16string failure;
};

// What the action asks of Windows and of the installation.
class ActionHost {
public:
    virtual ~ActionHost() = default;
    // The service's start type; nullopt when it is not registered or its
    // configuration cannot be read (the program then decides, and says why).
    virtual std::optional<std::uint32_t> registered_start_type() = 0;
    // Runs `program`, handing its output (standard output and error
    // together) to `output` piece by piece as it comes.
    virtual ProgramRun run(std::u16string_view program,
                           const std::function<void(std::string_view)>& output) = 0;
    // A line for the installation's log, as written.
    virtual void log(std::u16string_view line) = 0;
    // The error program_failed_error, with the exit code (or nothing, for a
    // program that never ended) and the report.
    virtual void report_failure(std::u16string_view exit_code, std::u16string_view report) = 0;
};

// Registers and starts the service by running `program` (the installed
// vek-system-service-setup.exe), unless an administrator disabled the
// service: then it stays as it is, and the log says why. True when the
// install may go on; false when it must roll back.
[[nodiscard]] bool register_service(ActionHost& host, std::u16string_view program);

}  // namespace vek::custom_action
