// The process entry: runs the install sequence once, writes the failure
// report and gives the exit code.
#pragma once

#include "installer/install_sequence.h"

#include <string_view>

namespace vek {

inline constexpr int exit_success = 0;
inline constexpr int exit_failure = 1;
// A step line could not be written to standard output: an internal fault, not
// a failure of the install, so it has a code of its own.
inline constexpr int exit_internal_fault = 2;

// Step lines on standard output. A failed write ends the process at once
// with "failed printing to stdout: " and the write error on standard error,
// and exit code 2. A process without standard output drops its lines and goes
// on: nobody is watching, and that is no reason to abort an install.
class StdoutSteps final : public StepOutput {
public:
    void write_line(std::string_view line) override;
};

// Ends the process with exit_internal_fault after writing `message` and a
// line feed to standard error.
[[noreturn]] void internal_fault(std::string_view message);

// Runs the sequence with these operations and step output; on failure writes
// "Error: ", the report text and "\n" to standard error. Gives the exit code.
int run_process(InstallOperations& operations, StepOutput& output);

}  // namespace vek
