#include "app/entry.h"

#include "app/console.h"
#include "scm/os_error.h"

#include <cstdlib>
#include <string>

namespace vek {

void internal_fault(std::string_view message) {
    std::string text(message);
    text += '\n';
    (void)write_std_stream(platform::std_error_handle, text);
    std::_Exit(exit_internal_fault);
}

void StdoutSteps::write_line(std::string_view line) {
    StreamWrite result = write_std_stream(platform::std_output_handle, line);
    if (result.outcome == StreamWrite::Outcome::failed) {
        internal_fault("failed printing to stdout: " +
                       OsError(static_cast<std::int32_t>(result.error)).message());
    }
}

int run_process(InstallOperations& operations, StepOutput& output) {
    RunResult result = run_installer(operations, output);
    if (result.succeeded()) return exit_success;

    ChainedError error = std::move(result).error();
    std::string report = "Error: " + error.report_text() + "\n";
    // A report that cannot be written is dropped: the exit code still says
    // the run failed.
    (void)write_std_stream(platform::std_error_handle, report);
    return exit_failure;
}

}  // namespace vek
