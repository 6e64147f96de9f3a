// Stack walking and symbol lookup for the failure report's backtrace. On
// Windows: RtlCaptureStackBackTrace, and DbgHelp loaded from the system
// directory when a trace is first rendered. On Linux: glibc's backtrace and
// dladdr, enough for the tests.
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace vek::platform {

// Holds the process-wide lock under which traces are captured and resolved.
class BacktraceLock {
public:
    BacktraceLock();
    ~BacktraceLock();
    BacktraceLock(const BacktraceLock&) = delete;
    BacktraceLock& operator=(const BacktraceLock&) = delete;
};

// Records the return addresses of the calling thread's frames, innermost
// first, leaving out this function's own frame and `skip` frames above it.
// Gives how many were written to `frames`.
std::size_t capture_stack(std::span<void*> frames, std::size_t skip) noexcept;

// Resolves the addresses to frame lines: one entry a frame, innermost first,
// "  <index>: <function>" and, where known, a second line
// "             at <file>:<line>". The text begins with the first frame's
// line, never with a heading. The caller holds the BacktraceLock.
std::string describe_frames(std::span<void* const> frames);

}  // namespace vek::platform
