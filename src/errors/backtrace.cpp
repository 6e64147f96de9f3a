#include "errors/backtrace.h"

#include "platform/backtrace.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace vek {

namespace {

enum class Switch { undecided, on, off };

// Guarded by the platform's BacktraceLock.
Switch capture_switch = Switch::undecided;

bool capture_switched_on() {
    if (capture_switch == Switch::undecided) {
        const char* value = std::getenv(backtrace_switch_name);
        capture_switch =
            backtrace_switch_enabled(value == nullptr ? std::nullopt
                                                      : std::optional<std::string_view>(value))
                ? Switch::on
                : Switch::off;
    }
    return capture_switch == Switch::on;
}

}  // namespace

Backtrace Backtrace::capture(std::size_t skip) {
    platform::BacktraceLock lock;
    if (!capture_switched_on()) return Backtrace(State::disabled);

    std::array<void*, 62> frames{};
    // One more frame to leave out: this function's own.
    std::size_t count = platform::capture_stack(frames, skip + 1);
    // A null return address is past the thread's first frame (a walk may go
    // on into junk there): the trace ends before it.
    count = static_cast<std::size_t>(
        std::find(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(count), nullptr) -
        frames.begin());
    if (count == 0) return Backtrace(State::unsupported);

    Backtrace trace(State::captured);
    trace.frames_.assign(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(count));
    return trace;
}

const std::string& Backtrace::render() const {
    platform::BacktraceLock lock;
    if (!rendered_) {
        rendered_ = state_ == State::captured ? platform::describe_frames(frames_) : std::string();
    }
    return *rendered_;
}

}  // namespace vek
