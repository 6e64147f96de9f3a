// The interface that every error of the program offers, and the sink that
// messages are written to.
#pragma once

#include <string>
#include <string_view>

namespace vek {

// Receives a text in pieces. A message may be written as several pieces (fixed
// texts and formatted values); a receiver must not depend on where the cuts are.
class TextSink {
public:
    virtual void write(std::string_view piece) = 0;

protected:
    ~TextSink() = default;
};

// Collects the pieces into one string.
class StringSink final : public TextSink {
public:
    explicit StringSink(std::string& out) : out_(out) {}
    void write(std::string_view piece) override { out_.append(piece); }

private:
    std::string& out_;
};

// A text as diagnostic texts show it: in double quotes, with a backslash
// before each double quote and backslash inside.
inline std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

class ReportableError {
public:
    virtual ~ReportableError() = default;

    // The human-readable text as the failure report shows it, normally one
    // line without a final line feed, written in pieces.
    virtual void write_message(TextSink& out) const = 0;
    // A developer-facing form: variant name and payload. Never in the report.
    virtual std::string diagnostic_text() const = 0;
    // The error that caused this one, owned by this one; nullptr for none.
    virtual const ReportableError* cause() const noexcept = 0;

    std::string message() const {
        std::string text;
        StringSink sink(text);
        write_message(sink);
        return text;
    }

protected:
    ReportableError() = default;
    ReportableError(const ReportableError&) = default;
    ReportableError(ReportableError&&) = default;
    ReportableError& operator=(const ReportableError&) = default;
    ReportableError& operator=(ReportableError&&) = default;
};

}  // namespace vek
