// OsError: one platform error code, as GetLastError gave it right after the
// failed call. Its text is looked up from the platform only when the message
// is produced.
#pragma once

#include "errors/reportable_error.h"
#include "platform/win32.h"

#include <cstdint>
#include <string>

namespace vek {

class OsError final : public ReportableError {
public:
    explicit constexpr OsError(std::int32_t code) noexcept : code_(code) {}
    // The code that GetLastError gives now. Call it on the line right after the
    // failed call: any other call in between may reset it.
    static OsError last_error() noexcept {
        return OsError(static_cast<std::int32_t>(platform::GetLastError()));
    }

    constexpr std::int32_t code() const noexcept { return code_; }

    // The platform's text for the code, then " (os error <code>)".
    void write_message(TextSink& out) const override;
    // Os { code: <code>, kind: <classification>, message: "<platform text>" }
    std::string diagnostic_text() const override;
    const ReportableError* cause() const noexcept override { return nullptr; }

    friend constexpr bool operator==(OsError a, OsError b) noexcept { return a.code_ == b.code_; }

private:
    std::int32_t code_;
};

// The platform's text for an error code, without its trailing white space;
// or one of the two "OS Error " forms when the lookup fails or gives text that
// is not valid UTF-16.
std::string platform_error_text(std::int32_t code);

// A short name for the kind of failure a code stands for (only for
// diagnostics).
const char* os_error_kind(std::int32_t code) noexcept;

}  // namespace vek
