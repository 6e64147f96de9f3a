// The stack trace of the place where a ChainedError was made.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vek {

// The environment switch that adds a backtrace to the failure report. Any
// value but "0" (an empty value too) switches capture on; absent leaves it off.
inline constexpr const char* backtrace_switch_name = "VEK_BACKTRACE";

// Interprets the switch's value (nullopt: not set).
constexpr bool backtrace_switch_enabled(std::optional<std::string_view> value) noexcept {
    return value.has_value() && *value != "0";
}

class Backtrace {
public:
    enum class State { captured, disabled, unsupported };

    // Records the raw return addresses of the caller's stack, leaving out
    // `skip` frames above the caller, when the switch is on. Whether it is on
    // is read from the environment once, at the first capture in the process,
    // and never again.
    [[gnu::noinline]] static Backtrace capture(std::size_t skip);

    State state() const noexcept { return state_; }
    const std::vector<void*>& frames() const noexcept { return frames_; }

    // The frame lines. Symbols are resolved at the first call and the text is
    // kept for later calls. Empty unless captured.
    const std::string& render() const;

private:
    explicit Backtrace(State state) : state_(state) {}

    State state_;
    std::vector<void*> frames_;
    mutable std::optional<std::string> rendered_;
};

}  // namespace vek
