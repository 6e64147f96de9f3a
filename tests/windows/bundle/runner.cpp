#include "runner.h"

#include <cstdio>
#include <cstdlib>

namespace vek::bundle {
namespace {

// The value of the attribute `key` in the tag text `tag`, with GoogleTest's
// character references resolved (it writes &amp; &lt; &gt; &quot; &apos;
// and &#xNN; for control characters).
std::string attribute(std::string_view tag, std::string_view key) {
    std::size_t at = tag.find(" " + std::string(key) + "=\"");
    if (at == std::string_view::npos) return {};
    at += key.size() + 3;
    std::string_view raw = tag.substr(at, tag.find('"', at) - at);
    std::string value;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        std::size_t end = raw[i] == '&' ? raw.find(';', i) : std::string_view::npos;
        if (end == std::string_view::npos) {
            value += raw[i];
            continue;
        }
        std::string_view name = raw.substr(i + 1, end - i - 1);
        i = end;
        if (name == "amp")
            value += '&';
        else if (name == "lt")
            value += '<';
        else if (name == "gt")
            value += '>';
        else if (name == "quot")
            value += '"';
        else if (name == "apos")
            value += '\'';
        else if (name.starts_with("#x") && name.size() <= 4)
            value +=
                static_cast<char>(std::strtol(std::string(name.substr(2)).c_str(), nullptr, 16));
    }
    return value;
}

std::string one_line(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return text;
}

std::string number(unsigned long value) {
    return std::to_string(value);
}

// An exit code as Windows shows it: a crash's NTSTATUS in hexadecimal.
std::string exit_code_text(unsigned long code) {
    if (code < 0x80000000UL) return number(code);
    char hex[24];
    std::snprintf(hex, sizeof hex, "0x%08lX", code);
    return hex;
}

// Whether `path` lies below `folder` (both full paths).
bool lies_below(Host& host, std::string_view path, std::string_view folder) {
    return !folder.empty() && path.size() > folder.size() + 1 && path[folder.size()] == '\\' &&
           host.same_name(path.substr(0, folder.size()), folder);
}

bool is_tests_own_program(Host& host, const std::string& program) {
    // Without the \\?\ prefix, as the folders are named. A relative path (the
    // manager takes it from the system folder) is no folder's of the tests.
    std::string path = program.starts_with("\\\\?\\") ? program.substr(4) : program;
    if (path.size() < 3 || path[1] != ':' || path[2] != '\\') return false;
    std::string full = host.full_path(path);
    if (full.empty()) return false;
    for (const std::string& folder : host.test_folders())
        if (lies_below(host, full, folder) &&
            host.check_folder(folder).state == FolderCheck::tests_own)
            return true;
    // Whoever can change the bundle's folder can change the runner too, so
    // its owner decides nothing (check_bundle warns). Never at the root of a
    // drive: everything would lie below it.
    std::string bundle = host.bundle_root();
    return bundle.find('\\') != std::string::npos && bundle.back() != '\\' &&
           lies_below(host, full, bundle) && host.bundle_marked();
}

}  // namespace

// GoogleTest writes the report whole at the program's end: a root element
// <testsuites>, and in it a <testcase> per test, with a <failure> for each
// failure and a <skipped> for a skip; text (a failure's message) only in
// CDATA sections, and no '<' or '"' inside an attribute. What does not end
// with the root's end tag was cut short.
std::optional<Report> read_report(std::string_view xml) {
    std::size_t last = xml.find_last_not_of(" \t\r\n");
    if (xml.find("<testsuites") == std::string_view::npos || last == std::string_view::npos ||
        !xml.substr(0, last + 1).ends_with("</testsuites>"))
        return std::nullopt;
    Report report;
    std::string name, status, result, why;
    bool in_case = false, failed = false;
    auto count = [&] {
        // A disabled test is not run, and GoogleTest counts it in none of
        // its counts: nor does the run (the bundle's programs keep their
        // child modes as disabled tests).
        in_case = false;
        if (status == "notrun") return;
        if (failed) {
            ++report.failed;
        } else if (result == "skipped") {
            ++report.skipped;
            report.skipped_tests.push_back("skipped " + name + (why.empty() ? "" : ": " + why));
        } else {
            ++report.passed;
        }
    };
    std::string suite;
    for (std::size_t at = xml.find('<'); at != std::string_view::npos; at = xml.find('<', at + 1)) {
        if (xml.substr(at).starts_with("<![CDATA[")) {
            at = xml.find("]]>", at);
            if (at == std::string_view::npos) return std::nullopt;
            continue;
        }
        std::size_t end = xml.find('>', at);
        if (end == std::string_view::npos) return std::nullopt;
        std::string_view tag = xml.substr(at, end - at);
        if (tag.starts_with("<testsuite ")) suite = attribute(tag, "name");
        if (tag.starts_with("<testcase ")) {
            name = suite + "." + attribute(tag, "name");
            status = attribute(tag, "status");
            result = attribute(tag, "result");
            why.clear();
            in_case = true;
            failed = false;
            if (tag.ends_with("/")) count();
        } else if (in_case && tag.starts_with("<failure")) {
            failed = true;
        } else if (in_case && tag.starts_with("<skipped")) {
            // The message begins with the file and line of the skip.
            std::string message = attribute(tag, "message");
            std::size_t line_end = message.find('\n');
            why = line_end == std::string::npos ? std::string()
                                                : one_line(message.substr(line_end + 1));
        } else if (in_case && tag == "</testcase") {
            count();
        }
        at = end;
    }
    return report;
}

Judgement judge(const std::string& name, const ProgramRun& run) {
    const std::string log = "output in logs\\" + name + ".log";
    auto failed = [&](const std::string& why) {
        return Judgement{0, 1, 0, {"FAIL  " + name + ": " + why}};
    };
    if (run.how == ProgramRun::missing)
        return failed("tests\\" + name + ".exe is missing from the bundle");
    if (run.how == ProgramRun::not_started)
        return failed("could not be started (error " + number(run.start_error) + ")");
    if (run.how == ProgramRun::timed_out)
        return failed("ended at the time limit, not finished (" + log + ")");
    std::optional<Report> report = run.report ? read_report(*run.report) : std::nullopt;
    if (!report)
        return failed("ended with exit code " + exit_code_text(run.exit_code) +
                      " before reporting its tests (" + log + ")");
    Judgement judged{report->passed, report->failed, report->skipped, {}};
    // A failure GoogleTest puts in no test's result (one in a suite's set-up,
    // say) shows only in the exit code; a report of no test proves nothing.
    if (judged.failed == 0 && (run.exit_code != 0 || judged.passed + judged.skipped == 0))
        judged.failed = 1;
    if (judged.failed == 0)
        judged.lines.push_back("PASS  " + name + ": " + number(judged.passed) + " passed, " +
                               number(judged.skipped) + " skipped");
    else
        judged.lines.push_back("FAIL  " + name + ": " + number(judged.passed) + " passed, " +
                               number(judged.failed) + " failed, " + number(judged.skipped) +
                               " skipped (exit code " + exit_code_text(run.exit_code) + "; " + log +
                               ")");
    for (const std::string& line : report->skipped_tests) judged.lines.push_back("      " + line);
    return judged;
}

int start_clean(Host& host) {
    // Everything is judged before anything is removed: a refusal changes
    // nothing.
    bool refused = false;
    for (const std::string& name : test_services) {
        std::optional<std::string> program = host.service_program(name);
        if (program && !is_tests_own_program(host, *program)) {
            host.say("A service named " + name +
                     " is registered on this machine (its program: " + *program + ").");
            host.say(
                "These tests create and delete that service, and will not touch one they did "
                "not make: run them on a machine without it, such as a throw-away virtual "
                "machine.");
            refused = true;
        }
    }
    for (const std::string& folder : host.test_folders()) {
        FolderCheck check = host.check_folder(folder);
        if (check.state == FolderCheck::foreign) {
            host.say("The folder " + folder + " exists and " + check.why +
                     ": it was not made by these tests, which make and remove it. Run them on a "
                     "machine without it.");
            refused = true;
        }
    }
    if (refused) return 1;

    int status = 0;
    for (const std::string& name : test_services) {
        if (!host.service_program(name)) continue;
        host.say("Removing the service " + name + ", left by an earlier run of these tests.");
        if (!host.remove_service(name)) {
            host.say("Could not remove the service " + name + ".");
            status = 3;
        }
    }
    for (const std::string& folder : host.test_folders()) {
        if (host.check_folder(folder).state == FolderCheck::missing) continue;
        host.say("Removing " + folder + ", left by an earlier run of these tests.");
        if (unsigned long error = host.remove_folder(folder); error != 0) {
            host.say("Could not remove " + folder + ": error " + number(error) + ".");
            status = 3;
        }
    }
    return status;
}

int finish(Host& host) {
    int leftovers = 0;
    for (const std::string& name : test_services) {
        std::optional<std::string> program = host.service_program(name);
        if (!program) continue;
        ++leftovers;
        host.say("LEFT BEHIND: the service " + name);
        if (!is_tests_own_program(host, *program))
            host.say("  left registered: its program (" + *program +
                     ") lies outside the folders these tests make");
        else if (!host.remove_service(name))
            host.say("  and it could not be removed");
    }
    for (const std::string& folder : host.test_folders()) {
        FolderCheck check = host.check_folder(folder);
        if (check.state == FolderCheck::missing) continue;
        ++leftovers;
        host.say("LEFT BEHIND: the folder " + folder);
        if (check.state == FolderCheck::foreign)
            host.say("  left as it is: it " + check.why);
        else if (host.remove_folder(folder) != 0)
            host.say("  and it could not be removed");
    }
    // The bundle's own scratch goes as well; it is not a leftover.
    host.remove_folder(host.bundle_root() + "\\work");
    return leftovers;
}

int run_tests(Host& host) {
    if (!host.is_administrator()) {
        host.say(
            "run-tests: run this as an administrator (from an elevated prompt): the tests "
            "register, start and delete services.");
        return 2;
    }
    host.check_bundle();
    switch (start_clean(host)) {
        case 0:
            break;
        case 1:
            host.say("run-tests: nothing was run, and nothing was changed.");
            return 2;
        default:
            host.say(
                "run-tests: what an earlier run left could not all be removed (see above); "
                "nothing was run.");
            return 2;
    }

    int passed = 0, failed = 0, skipped = 0;
    std::optional<std::vector<std::string>> names = host.program_names();
    if (!names || names->empty()) {
        host.say("FAIL  tests\\test-programs.txt names no test program");
        ++failed;
    }
    for (const std::string& name : names.value_or(std::vector<std::string>{})) {
        Judgement judged = judge(name, host.run_program(name));
        passed += judged.passed;
        failed += judged.failed;
        skipped += judged.skipped;
        for (const std::string& line : judged.lines) host.say(line);
    }
    // Whatever a program left outside the bundle is a failure of its own.
    failed += finish(host);
    if (skipped > 0) host.say(number(skipped) + " skipped, each named above with the reason.");
    host.say(number(passed) + " passed, " + number(failed) + " failed");
    return failed > 0 ? 1 : 0;
}

}  // namespace vek::bundle
