#include "runner.h"

#include <cstdint>

namespace vek::bundle {
namespace {

// UTF-8 (as GoogleTest writes its reports) to wide text; what is no UTF-8
// becomes U+FFFD.
std::wstring widen(std::string_view text) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size();) {
        auto byte = static_cast<unsigned char>(text[i]);
        int length = byte < 0x80 ? 1 : (byte >> 5) == 6 ? 2 : (byte >> 4) == 14 ? 3 : (byte >> 3) == 30 ? 4 : 0;
        char32_t code = length == 1 ? byte : length == 2 ? byte & 0x1F : length == 3 ? byte & 0x0F : byte & 0x07;
        bool valid = length > 0 && i + length <= text.size();
        for (int k = 1; valid && k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        static constexpr char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!valid || code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
            out += L'\xFFFD';
            ++i;
            continue;
        }
        i += length;
        if (sizeof(wchar_t) == 2 && code >= 0x10000) {
            out += static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10));
            out += static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            out += static_cast<wchar_t>(code);
        }
    }
    return out;
}

// The little of XML that GoogleTest's report uses: a declaration, elements
// with attributes, character references, CDATA sections and text. A report
// that is not one whole document is none.
class ReportReader {
public:
    explicit ReportReader(std::string_view xml) : xml_(xml) {}

    std::optional<Report> read() {
        skip_space();
        if (xml_.substr(at_).starts_with("<?")) {
            std::size_t end = xml_.find("?>", at_);
            if (end == std::string_view::npos) return std::nullopt;
            at_ = end + 2;
        }
        skip_space();
        if (!element(0)) return std::nullopt;
        skip_space();
        if (at_ != xml_.size() || !root_seen_) return std::nullopt;
        return report_;
    }

private:
    struct Case {
        std::string suite, name, status, result, skip_message;
        bool failed = false, skipped = false;
    };

    void skip_space() {
        while (at_ < xml_.size() && (xml_[at_] == ' ' || xml_[at_] == '\t' || xml_[at_] == '\r' ||
                                     xml_[at_] == '\n'))
            ++at_;
    }

    // A character reference's code ("#x0A", "#10"), when it is one.
    static std::optional<char32_t> reference(std::string_view name) {
        bool hex = name.starts_with("#x");
        std::string_view digits = name.substr(hex ? 2 : 1);
        if (!name.starts_with("#") || digits.empty() || digits.size() > 6) return std::nullopt;
        char32_t code = 0;
        for (char c : digits) {
            int digit = c >= '0' && c <= '9' ? c - '0'
                        : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (digit < 0) return std::nullopt;
            code = code * (hex ? 16 : 10) + static_cast<char32_t>(digit);
        }
        if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return std::nullopt;
        return code;
    }

    static void append_utf8(std::string& out, char32_t code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
            return;
        }
        int length = code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
        static constexpr unsigned char lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
        out += static_cast<char>(lead[length] | (code >> (6 * (length - 1))));
        for (int k = length - 2; k >= 0; --k) out += static_cast<char>(0x80 | ((code >> (6 * k)) & 0x3F));
    }

    static std::optional<std::string> unescape(std::string_view text) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '&') {
                out += text[i];
                continue;
            }
            std::size_t end = text.find(';', i);
            if (end == std::string_view::npos) return std::nullopt;
            std::string_view name = text.substr(i + 1, end - i - 1);
            i = end;
            if (name == "amp") out += '&';
            else if (name == "lt") out += '<';
            else if (name == "gt") out += '>';
            else if (name == "quot") out += '"';
            else if (name == "apos") out += '\'';
            else if (std::optional<char32_t> code = reference(name)) append_utf8(out, *code);
            else return std::nullopt;
        }
        return out;
    }

    // One element and everything inside it, at nesting `depth`; false when
    // the document is not whole.
    bool element(int depth) {
        if (at_ >= xml_.size() || xml_[at_] != '<') return false;
        std::size_t name_end = xml_.find_first_of(" \t\r\n/>", ++at_);
        if (name_end == std::string_view::npos) return false;
        std::string name(xml_.substr(at_, name_end - at_));
        at_ = name_end;
        std::vector<std::pair<std::string, std::string>> attributes;
        for (;;) {
            skip_space();
            if (at_ >= xml_.size()) return false;
            if (xml_[at_] == '/' || xml_[at_] == '>') break;
            std::size_t equals = xml_.find("=\"", at_);
            if (equals == std::string_view::npos) return false;
            std::size_t close = xml_.find('"', equals + 2);
            if (close == std::string_view::npos) return false;
            std::optional<std::string> value = unescape(xml_.substr(equals + 2, close - equals - 2));
            if (!value) return false;
            attributes.emplace_back(std::string(xml_.substr(at_, equals - at_)), *value);
            at_ = close + 1;
        }
        auto attribute = [&](std::string_view key) {
            for (const auto& [k, v] : attributes)
                if (k == key) return v;
            return std::string();
        };
        if (depth == 0) {
            if (name != "testsuites") return false;
            root_seen_ = true;
        }
        if (name == "testsuite") suite_ = attribute("name");
        if (name == "testcase") current_ = Case{suite_, attribute("name"), attribute("status"), attribute("result")};
        if (name == "failure" && current_) current_->failed = true;
        if (name == "skipped" && current_) {
            current_->skipped = true;
            current_->skip_message = attribute("message");
        }

        bool empty = xml_[at_] == '/';
        at_ += empty ? 1 : 0;
        if (at_ >= xml_.size() || xml_[at_] != '>') return false;
        ++at_;
        while (!empty) {
            std::size_t next = xml_.find('<', at_);
            if (next == std::string_view::npos) return false;
            at_ = next;
            std::string_view rest = xml_.substr(at_);
            if (rest.starts_with("<![CDATA[")) {
                std::size_t end = xml_.find("]]>", at_);
                if (end == std::string_view::npos) return false;
                at_ = end + 3;
            } else if (rest.starts_with("</")) {
                std::string closing = "</" + name + ">";
                if (!rest.starts_with(closing)) return false;
                at_ += closing.size();
                break;
            } else if (!element(depth + 1)) {
                return false;
            }
        }
        if (name == "testcase" && current_) count(*current_);
        if (name == "testcase") current_.reset();
        return true;
    }

    void count(const Case& test) {
        std::wstring full = widen(test.suite + "." + test.name);
        if (test.status == "notrun") {
            ++report_.skipped;
            report_.not_run.push_back(L"disabled " + full);
        } else if (test.failed) {
            ++report_.failed;
        } else if (test.result == "skipped") {
            ++report_.skipped;
            // The message begins with the file and line of the skip.
            std::string why = test.skip_message.substr(test.skip_message.find('\n') + 1);
            if (test.skip_message.find('\n') == std::string::npos) why.clear();
            while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
            for (char& c : why)
                if (c == '\r' || c == '\n') c = ' ';
            report_.not_run.push_back(L"skipped " + full + (why.empty() ? L"" : L": " + widen(why)));
        } else {
            ++report_.passed;
        }
    }

    std::string_view xml_;
    std::size_t at_ = 0;
    bool root_seen_ = false;
    std::string suite_;
    std::optional<Case> current_;
    Report report_;
};

std::wstring number(unsigned long value) { return std::to_wstring(value); }

// An exit code as Windows shows it: a crash's NTSTATUS in hexadecimal.
std::wstring exit_code_text(unsigned long code) {
    if (code < 0x80000000UL) return number(code);
    static constexpr wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring hex = L"0x";
    for (int shift = 28; shift >= 0; shift -= 4) hex += digits[(code >> shift) & 0xF];
    return hex;
}

}  // namespace

std::optional<Report> read_report(std::string_view xml) { return ReportReader(xml).read(); }

Judgement judge(const std::wstring& name, const ProgramRun& run) {
    const std::wstring log = L" (output in logs\\" + name + L".log)";
    switch (run.how) {
    case ProgramRun::missing:
        return {0, 1, 0, {L"FAIL  " + name + L": tests\\" + name + L".exe is missing from the bundle"}};
    case ProgramRun::not_started:
        return {0, 1, 0, {L"FAIL  " + name + L": could not be started (error " + number(run.start_error) + L")"}};
    case ProgramRun::timed_out:
        return {0, 1, 0, {L"FAIL  " + name + L": ended at the time limit, not finished" + log}};
    case ProgramRun::ended:
        break;
    }
    std::optional<Report> report = run.report ? read_report(*run.report) : std::nullopt;
    if (!report)
        return {0, 1, 0, {L"FAIL  " + name + L": ended with exit code " + exit_code_text(run.exit_code) +
                          L" before reporting its tests" + log}};
    Judgement judged{report->passed, report->failed, report->skipped, {}};
    // A failure GoogleTest puts in no test's result (one in a suite's set-up,
    // say) shows only in the exit code; a report of no test proves nothing.
    if (judged.failed == 0 && (run.exit_code != 0 || judged.passed + judged.skipped == 0)) judged.failed = 1;
    if (judged.failed == 0)
        judged.lines.push_back(L"PASS  " + name + L": " + number(judged.passed) + L" passed, " +
                               number(judged.skipped) + L" skipped");
    else
        judged.lines.push_back(L"FAIL  " + name + L": " + number(judged.passed) + L" passed, " +
                               number(judged.failed) + L" failed, " + number(judged.skipped) +
                               L" skipped (exit code " + exit_code_text(run.exit_code) + L"; " + log.substr(2));
    for (const std::wstring& line : report->not_run) judged.lines.push_back(L"      " + line);
    return judged;
}

bool lies_below(Host& host, std::wstring_view path, std::wstring_view folder) {
    return !folder.empty() && path.size() > folder.size() + 1 && path[folder.size()] == L'\\' &&
           host.same_name(path.substr(0, folder.size()), folder);
}

bool is_tests_own_program(Host& host, const std::wstring& program) {
    // Without the \\?\ prefix, as the folders are named. A relative path (the
    // manager takes it from the system folder) is no folder's of the tests.
    std::wstring path = program.starts_with(L"\\\\?\\") ? program.substr(4) : program;
    if (path.size() < 3 || path[1] != L':' || path[2] != L'\\') return false;
    std::wstring full = host.full_path(path);
    if (full.empty()) return false;
    for (const std::wstring& folder : host.test_folders())
        if (lies_below(host, full, folder) && host.check_folder(folder).state == FolderCheck::tests_own)
            return true;
    // Whoever can change the bundle's folder can change the runner too, so
    // its owner decides nothing (check_bundle warns). Never at the root of a
    // drive: everything would lie below it.
    std::wstring bundle = host.bundle_root();
    return bundle.find(L'\\') != std::wstring::npos && bundle.back() != L'\\' &&
           lies_below(host, full, bundle) && host.bundle_marked();
}

int start_clean(Host& host) {
    // Everything is judged before anything is removed: a refusal changes
    // nothing.
    bool refused = false;
    for (const std::wstring& name : test_services) {
        std::optional<std::wstring> program = host.service_program(name);
        if (program && !is_tests_own_program(host, *program)) {
            host.say(L"A service named " + name + L" is registered on this machine (its program: " +
                     *program + L").");
            host.say(L"These tests create and delete that service, and will not touch one they did "
                     L"not make: run them on a machine without it, such as a throw-away virtual "
                     L"machine.");
            refused = true;
        }
    }
    for (const std::wstring& folder : host.test_folders()) {
        FolderCheck check = host.check_folder(folder);
        if (check.state == FolderCheck::foreign) {
            host.say(L"The folder " + folder + L" exists and " + check.why +
                     L": it was not made by these tests, which make and remove it. Run them on a "
                     L"machine without it.");
            refused = true;
        }
    }
    if (refused) return 1;

    int status = 0;
    for (const std::wstring& name : test_services) {
        if (!host.service_program(name)) continue;
        host.say(L"Removing the service " + name + L", left by an earlier run of these tests.");
        if (!host.remove_service(name)) {
            host.say(L"Could not remove the service " + name + L".");
            status = 3;
        }
    }
    for (const std::wstring& folder : host.test_folders()) {
        if (host.check_folder(folder).state == FolderCheck::missing) continue;
        host.say(L"Removing " + folder + L", left by an earlier run of these tests.");
        if (unsigned long error = host.remove_folder(folder); error != 0) {
            host.say(L"Could not remove " + folder + L": error " + number(error) + L".");
            status = 3;
        }
    }
    return status;
}

int finish(Host& host) {
    int leftovers = 0;
    for (const std::wstring& name : test_services) {
        std::optional<std::wstring> program = host.service_program(name);
        if (!program) continue;
        ++leftovers;
        host.say(L"LEFT BEHIND: the service " + name);
        if (!is_tests_own_program(host, *program))
            host.say(L"  left registered: its program (" + *program +
                     L") lies outside the folders these tests make");
        else if (!host.remove_service(name))
            host.say(L"  and it could not be removed");
    }
    for (const std::wstring& folder : host.test_folders()) {
        FolderCheck check = host.check_folder(folder);
        if (check.state == FolderCheck::missing) continue;
        ++leftovers;
        host.say(L"LEFT BEHIND: the folder " + folder);
        if (check.state == FolderCheck::foreign)
            host.say(L"  left as it is: it " + check.why);
        else if (host.remove_folder(folder) != 0)
            host.say(L"  and it could not be removed");
    }
    // The bundle's own scratch goes as well; it is not a leftover.
    host.remove_folder(host.bundle_root() + L"\\work");
    return leftovers;
}

int run_tests(Host& host) {
    if (!host.is_administrator()) {
        host.say(L"run-tests: run this as an administrator (from an elevated prompt): the tests "
                 L"register, start and delete services.");
        return 2;
    }
    host.check_bundle();
    switch (start_clean(host)) {
    case 0:
        break;
    case 1:
        host.say(L"run-tests: nothing was run, and nothing was changed.");
        return 2;
    default:
        host.say(L"run-tests: what an earlier run left could not all be removed (see above); "
                 L"nothing was run.");
        return 2;
    }

    int passed = 0, failed = 0, skipped = 0;
    std::optional<std::vector<std::wstring>> names = host.program_names();
    if (!names || names->empty()) {
        host.say(L"FAIL  tests\\test-programs.txt names no test program");
        ++failed;
    }
    for (const std::wstring& name : names.value_or(std::vector<std::wstring>{})) {
        Judgement judged = judge(name, host.run_program(name));
        passed += judged.passed;
        failed += judged.failed;
        skipped += judged.skipped;
        for (const std::wstring& line : judged.lines) host.say(line);
    }
    // Whatever a program left outside the bundle is a failure of its own.
    failed += finish(host);
    if (skipped > 0)
        host.say(number(skipped) + L" skipped or disabled, each named above.");
    host.say(number(passed) + L" passed, " + number(failed) + L" failed");
    return failed > 0 ? 1 : 0;
}

}  // namespace vek::bundle
