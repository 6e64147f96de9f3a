#include "registration.h"

#include "installer/vek_service.h"
#include "scm/utf.h"

#include <cstdio>

namespace vek::custom_action {

namespace {

std::u16string exit_code_text(std::uint32_t code) {
    // Small codes as cmd and msiexec show them; an NTSTATUS (a crash, the
    // stack check's 0xC0000409) as Windows' documentation names it.
    char digits[16];
    if (code >= 0x10000)
        std::snprintf(digits, sizeof digits, "0x%X", static_cast<unsigned>(code));
    else
        std::snprintf(digits, sizeof digits, "%u", static_cast<unsigned>(code));
    return u"exit code " + utf8_to_utf16(digits);
}

}  // namespace

std::u16string literal_record_text(std::u16string_view text) {
    std::u16string escaped;
    escaped.reserve(text.size());
    for (char16_t unit : text) {
        if (unit == u'[' || unit == u']' || unit == u'{' || unit == u'}') {
            escaped += u"[\\";
            escaped += unit;
            escaped += u']';
        } else {
            escaped += unit;
        }
    }
    return escaped;
}

std::vector<std::u16string> OutputLines::add(std::string_view bytes) {
    std::vector<std::u16string> lines;
    for (char byte : bytes) {
        if (byte == '\n') {
            if (!pending_.empty() && pending_.back() == '\r') pending_.pop_back();
            lines.push_back(utf8_to_utf16(pending_));
            pending_.clear();
            continue;
        }
        pending_ += byte;
        if (pending_.size() == max_line_bytes) {
            // Cut before a code point that the cut would split: its lead
            // byte and what follows go on in the next line.
            std::size_t keep = pending_.size();
            while (keep > 0 && (static_cast<unsigned char>(pending_[keep - 1]) & 0xC0) == 0x80)
                --keep;
            if (keep > 0 && static_cast<unsigned char>(pending_[keep - 1]) >= 0xC0) --keep;
            if (keep == 0) keep = pending_.size();
            lines.push_back(utf8_to_utf16(std::string_view(pending_).substr(0, keep)));
            pending_.erase(0, keep);
        }
    }
    return lines;
}

std::optional<std::u16string> OutputLines::finish() {
    if (pending_.empty()) return std::nullopt;
    std::u16string last = utf8_to_utf16(pending_);
    pending_.clear();
    return last;
}

bool register_service(ActionHost& host, std::u16string_view program) {
    const std::u16string service = utf8_to_utf16(service_key_name);
    // The program would find the service stopped, and its start refused
    // (1058): every upgrade and repair would fail for as long as the service
    // stays disabled. The administrator's choice stands; the new program is
    // in place for when they enable it.
    if (host.registered_start_type() == service_start_disabled) {
        host.log(service + u" is disabled: its program is in place, but it stays disabled and "
                           u"is not started");
        return true;
    }

    const std::u16string_view file_name = program.substr(program.find_last_of(u"\\/") + 1);
    const std::u16string prefix = std::u16string(file_name) + u": ";
    // The report is what the program writes from its "Error: " line on (its
    // step lines come before it, in the same pipe).
    std::u16string report;
    auto take = [&](std::u16string line) {
        host.log(prefix + line);
        if (report.empty() && !line.starts_with(u"Error: ")) return;
        if (!report.empty()) report += u'\n';
        report += line;
    };
    OutputLines lines;
    const ProgramRun run = host.run(program, [&](std::string_view bytes) {
        for (std::u16string& line : lines.add(bytes)) take(std::move(line));
    });
    if (std::optional<std::u16string> last = lines.finish()) take(std::move(*last));

    if (run.exit_code == 0u) return true;
    if (!run.exit_code) {
        host.report_failure(u"not run to its end", run.failure);
    } else {
        host.report_failure(exit_code_text(*run.exit_code),
                            report.empty() ? u"it wrote no report" : report);
    }
    return false;
}

}  // namespace vek::custom_action
