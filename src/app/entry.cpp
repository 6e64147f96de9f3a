#include "app/entry.h"

#include "app/console.h"
#include "scm/os_error.h"

#include <cstdlib>
#include <string>

namespace vek {

void internal_fault(std::string_view message) {
    std::string text(message);
    text += '\n';
    (void)write_std_stream(StandardStream::error, text);
    std::_Exit(exit_internal_fault);
}

void StdoutSteps::write_line(std::string_view line) {
    StreamWrite result = write_std_stream(StandardStream::output, line);
    if (result.outcome == StreamWrite::Outcome::failed) {
        internal_fault("failed printing to stdout: " +
                       OsError(static_cast<std::int32_t>(result.error)).message());
    }
}

int run_process(InstallOperations& operations, StepOutput& output) {
    RunResult result = run_installer(operations, output);
    if (result.succeeded()) return exit_success;

    ChainedError error = std::move(result).error();
    // The report is "Error: ", the report text and a line feed, written in
    // two pieces: what failed, up to and with the chain's line feed, before
    // any symbol of the backtrace is looked up; then the backtrace and the
    // final line feed. Resolving symbols reads the PDB, and a damaged one can
    // end the process inside the symbol library: the administrator still
    // sees what failed. A report that cannot be written is dropped: the exit
    // code still says the run failed.
    std::string chain = "Error: " + error.chain_text() + "\n";
    if (write_std_stream(StandardStream::error, chain).outcome != StreamWrite::Outcome::written)
        return exit_failure;
    std::string trace = error.backtrace_text();
    if (!trace.empty()) {
        // Its first line feed went out with the chain.
        trace.erase(0, 1);
        trace += '\n';
        (void)write_std_stream(StandardStream::error, trace);
    }
    return exit_failure;
}

}  // namespace vek
