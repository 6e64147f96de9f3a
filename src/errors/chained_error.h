// ChainedError: the one error a failed run ends with. One owning pointer to a
// record that holds the top error and the backtrace of the place where it was
// made; success of a whole run (RunResult) is the same pointer, null.
#pragma once

#include "errors/backtrace.h"
#include "errors/reportable_error.h"

#include <concepts>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace vek {

namespace detail {

struct ChainedRecord {
    explicit ChainedRecord(Backtrace trace) : backtrace(std::move(trace)) {}
    virtual ~ChainedRecord() = default;
    virtual const ReportableError& top() const noexcept = 0;

    Backtrace backtrace;
};

template <class E>
struct ChainedRecordOf final : ChainedRecord {
    ChainedRecordOf(E e, Backtrace trace) : ChainedRecord(std::move(trace)), error(std::move(e)) {}
    const ReportableError& top() const noexcept override { return error; }

    E error;
};

// A message error: a fixed text referred to, or a formatted text owned.
class MessageError final : public ReportableError {
public:
    explicit MessageError(std::string_view fixed) : text_(fixed) {}
    explicit MessageError(std::string formatted) : text_(std::move(formatted)) {}

    void write_message(TextSink& out) const override {
        out.write(std::visit([](const auto& text) { return std::string_view(text); }, text_));
    }
    std::string diagnostic_text() const override;
    const ReportableError* cause() const noexcept override { return nullptr; }

private:
    std::variant<std::string_view, std::string> text_;
};

}  // namespace detail

// A text with static storage duration, to be referred to without a copy.
struct StaticText {
    template <std::size_t N>
    consteval StaticText(const char (&literal)[N]) : text(literal, N - 1) {}
    std::string_view text;
};

class RunResult;

class [[nodiscard]] ChainedError {
public:
    // A message error with a fixed text, referred to without copying.
    [[gnu::noinline]] static ChainedError from_message(StaticText text);
    // A message error with a text formatted at the point of failure.
    [[gnu::noinline]] static ChainedError from_message(std::string formatted);

    // Takes ownership of a client or platform error, which becomes the top
    // error unchanged: no text of this program is put in front of it.
    template <class E>
        requires std::derived_from<E, ReportableError> && std::is_final_v<E>
    [[gnu::noinline]] static ChainedError from_error(E error) {
        // Leave out this function's frame: the trace starts at its caller.
        return ChainedError(std::make_unique<detail::ChainedRecordOf<E>>(
            std::move(error), Backtrace::capture(1)));
    }

    ChainedError(ChainedError&&) noexcept = default;
    ChainedError& operator=(ChainedError&&) noexcept = default;
    ChainedError(const ChainedError&) = delete;
    ChainedError& operator=(const ChainedError&) = delete;
    ~ChainedError() = default;

    // The top error's message only.
    std::string message() const;
    // The errors of the chain, top first, each followed by its cause.
    std::vector<const ReportableError*> chain() const;
    // What the failure report prints after "Error: ": the top message, the
    // causes under "Caused by:", and the backtrace when one was captured.
    // Always chain_text() followed by backtrace_text().
    std::string report_text() const;
    // The top message and the causes: all that is known without the
    // symbols of the backtrace.
    std::string chain_text() const;
    // "\n\nStack backtrace:\n" and the trimmed frame lines when a backtrace
    // was captured, or nothing. Renders the backtrace, which looks up symbols.
    std::string backtrace_text() const;
    // The top error's own diagnostic text, without causes or backtrace.
    std::string diagnostic_text() const;

    const ReportableError& top() const noexcept { return record_->top(); }
    const Backtrace& backtrace() const noexcept { return record_->backtrace; }

private:
    friend class RunResult;
    explicit ChainedError(std::unique_ptr<detail::ChainedRecord> record) noexcept
        : record_(std::move(record)) {}

    std::unique_ptr<detail::ChainedRecord> record_;
};

// The result of a run: success, or a ChainedError. One machine word: success
// is the null record.
class [[nodiscard]] RunResult {
public:
    static RunResult success() noexcept { return RunResult(); }
    RunResult(ChainedError error) noexcept : record_(std::move(error.record_)) {}

    bool succeeded() const noexcept { return record_ == nullptr; }
    // The error of a failed run. Asked of a run that succeeded, it ends the
    // process: the caller's logic is broken, and there is no error to give.
    ChainedError error() && noexcept {
        if (record_ == nullptr) std::abort();
        return ChainedError(std::move(record_));
    }

private:
    RunResult() noexcept = default;

    std::unique_ptr<detail::ChainedRecord> record_;
};

static_assert(sizeof(ChainedError) == sizeof(void*), "a ChainedError is one pointer wide");
static_assert(sizeof(RunResult) == sizeof(void*), "a run's result is one machine word");

// Writes a cause's message indented under the report's "Caused by:" heading:
// the first line after a five-column number and ": " (or four spaces without
// a number), every later line after seven spaces (four without a number).
// The result does not depend on how the message is cut into pieces.
class IndentingWriter final : public TextSink {
public:
    IndentingWriter(TextSink& out, std::optional<std::size_t> number)
        : out_(out), number_(number) {}
    void write(std::string_view piece) override;

private:
    TextSink& out_;
    std::optional<std::size_t> number_;
    bool started_ = false;
};

}  // namespace vek
