#include "errors/chained_error.h"

#include "errors/white_space.h"

#include <string>

namespace vek {

namespace detail {

std::string MessageError::diagnostic_text() const { return "Message(" + quoted(message()) + ")"; }

}  // namespace detail

ChainedError ChainedError::from_message(StaticText text) {
    return ChainedError(std::make_unique<detail::ChainedRecordOf<detail::MessageError>>(
        detail::MessageError(text.text), Backtrace::capture(1)));
}

ChainedError ChainedError::from_message(std::string formatted) {
    return ChainedError(std::make_unique<detail::ChainedRecordOf<detail::MessageError>>(
        detail::MessageError(std::move(formatted)), Backtrace::capture(1)));
}

std::string ChainedError::message() const { return top().message(); }

std::vector<const ReportableError*> ChainedError::chain() const {
    std::vector<const ReportableError*> errors;
    for (const ReportableError* e = &top(); e != nullptr; e = e->cause()) errors.push_back(e);
    return errors;
}

std::string ChainedError::diagnostic_text() const { return top().diagnostic_text(); }

std::string ChainedError::report_text() const { return chain_text() + backtrace_text(); }

std::string ChainedError::chain_text() const {
    std::string text;
    StringSink out(text);
    top().write_message(out);

    if (const ReportableError* first = top().cause()) {
        out.write("\n\nCaused by:");
        // Numbered only when there are at least two causes.
        bool numbered = first->cause() != nullptr;
        std::size_t n = 0;
        for (const ReportableError* cause = first; cause != nullptr; cause = cause->cause(), ++n) {
            out.write("\n");
            IndentingWriter indented(out, numbered ? std::optional(n) : std::nullopt);
            cause->write_message(indented);
        }
    }

    return text;
}

std::string ChainedError::backtrace_text() const {
    const Backtrace& trace = backtrace();
    if (trace.state() != Backtrace::State::captured) return {};
    // The rendered trace is frame lines only, never a heading of its own.
    std::string section = "\n\nStack backtrace:\n" + trace.render();
    section.resize(length_without_trailing_white_space(section));
    return section;
}

void IndentingWriter::write(std::string_view piece) {
    for (std::size_t k = 0;; ++k) {
        std::size_t end = piece.find('\n');
        std::string_view line = piece.substr(0, end);
        if (!started_) {
            started_ = true;
            if (number_) {
                std::string number = std::to_string(*number_);
                if (number.size() < 5) out_.write(std::string_view("     ", 5 - number.size()));
                out_.write(number);
                out_.write(": ");
            } else {
                out_.write("    ");
            }
        } else if (k > 0) {
            out_.write(number_ ? "\n       " : "\n    ");
        }
        out_.write(line);
        if (end == std::string_view::npos) break;
        piece.remove_prefix(end + 1);
    }
}

}  // namespace vek
