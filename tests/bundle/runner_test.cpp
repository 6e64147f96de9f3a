// The bundle's runner judged against a fake platform: how it counts
// GoogleTest's reports as they come, and what it takes as the tests' own.
#include "runner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>

namespace vek::bundle {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// A report as GoogleTest 1.12 writes it, around `cases` (its <testcase>
// elements, in one suite S).
std::string report(const std::string& cases) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<testsuites tests=\"1\" failures=\"0\" disabled=\"0\" errors=\"0\" time=\"0\" "
           "timestamp=\"2026-12-10T08:05:55.030\" name=\"AllTests\">\n"
           "  <testsuite name=\"S\" tests=\"1\" failures=\"0\" disabled=\"0\" skipped=\"0\" "
           "errors=\"0\" time=\"0\" timestamp=\"2026-12-10T08:05:55.030\">\n" +
           cases + "  </testsuite>\n</testsuites>\n";
}
const std::string passes =
    R"(    <testcase name="Passes" file="t.cpp" line="2" status="run" result="completed" time="0" timestamp="2026-12-10T08:05:55.030" classname="S" />
)";
const std::string fails =
    R"(    <testcase name="Fails" file="t.cpp" line="3" status="run" result="completed" time="0" timestamp="2026-12-10T08:05:55.030" classname="S">
      <failure message="t.cpp:3&#x0A;Expected equality&#x0A;a &quot;quoted&quot; why" type=""><![CDATA[t.cpp:3
Expected equality
a "quoted" why]]></failure>
    </testcase>
)";
const std::string skips =
    R"(    <testcase name="Skips" file="t.cpp" line="4" status="run" result="skipped" time="0" timestamp="2026-12-10T08:05:55.030" classname="S">
      <skipped message="t.cpp:4&#x0A;no &lt;Windows&gt; here&#x0A;at all"><![CDATA[t.cpp:4
no <Windows> here
at all]]></skipped>
    </testcase>
)";
const std::string disabled =
    R"(    <testcase name="DISABLED_Off" file="t.cpp" line="5" status="notrun" result="suppressed" time="0" timestamp="1970-01-01T00:00:00.000" classname="S" />
)";
const std::string empty =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites tests=\"0\" "
    "failures=\"0\" disabled=\"0\" errors=\"0\" time=\"0\" "
    "timestamp=\"2026-12-10T08:06:11.767\" name=\"AllTests\">\n</testsuites>\n";

TEST(RunnerCounting, CountsEachWayAProgramCanEnd) {
    struct Row {
        const char* what;
        ProgramRun run;
        int counts[3];  // passed, failed, skipped
        std::vector<std::string> lines;
    };
    const std::string whole = report(passes + fails), log = " (output in logs\\p.log)";
    const std::string why = "      skipped S.Skips: no <Windows> here at all";
    constexpr auto ended = ProgramRun::ended;
    // clang-format off
    const Row rows[] = {
        {"passed", {ended, 0, 0, report(passes + passes)}, {2, 0, 0}, {"PASS  p: 2 passed, 0 skipped"}},
        {"failed", {ended, 1, 0, whole}, {1, 1, 0},
         {"FAIL  p: 1 passed, 1 failed, 0 skipped (exit code 1; output in logs\\p.log)"}},
        {"skipped, the reason on one line", {ended, 0, 0, report(passes + skips)}, {1, 0, 1},
         {"PASS  p: 1 passed, 1 skipped", why}},
        {"disabled: not counted", {ended, 0, 0, report(passes + disabled)}, {1, 0, 0},
         {"PASS  p: 1 passed, 0 skipped"}},
        {"only disabled", {ended, 0, 0, report(disabled)}, {0, 1, 0},
         {"FAIL  p: 0 passed, 1 failed, 0 skipped (exit code 0; output in logs\\p.log)"}},
        {"no test at all", {ended, 0, 0, empty}, {0, 1, 0},
         {"FAIL  p: 0 passed, 1 failed, 0 skipped (exit code 0; output in logs\\p.log)"}},
        {"only skipped, exit code 1 (a suite's set-up failed)", {ended, 1, 0, report(skips)}, {0, 1, 1},
         {"FAIL  p: 0 passed, 1 failed, 1 skipped (exit code 1; output in logs\\p.log)", why}},
        {"passed, but exit code 3", {ended, 3, 0, report(passes)}, {1, 1, 0},
         {"FAIL  p: 1 passed, 1 failed, 0 skipped (exit code 3; output in logs\\p.log)"}},
        {"truncated report", {ended, 0, 0, whole.substr(0, whole.size() - 20)}, {0, 1, 0},
         {"FAIL  p: ended with exit code 0 before reporting its tests" + log}},
        {"a crash before the report", {ended, 0xC0000005, 0, std::nullopt}, {0, 1, 0},
         {"FAIL  p: ended with exit code 0xC0000005 before reporting its tests" + log}},
        {"a report that is no XML", {ended, 0, 0, std::string("{\"tests\": 1}")}, {0, 1, 0},
         {"FAIL  p: ended with exit code 0 before reporting its tests" + log}},
        {"ended at the time limit", {ProgramRun::timed_out, 1460, 0, report(passes)}, {0, 1, 0},
         {"FAIL  p: ended at the time limit, not finished" + log}},
        {"missing", {ProgramRun::missing}, {0, 1, 0}, {"FAIL  p: tests\\p.exe is missing from the bundle"}},
        {"not started", {ProgramRun::not_started, 0, 193}, {0, 1, 0},
         {"FAIL  p: could not be started (error 193)"}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Judgement judged = judge("p", row.run);
        EXPECT_THAT((std::vector{judged.passed, judged.failed, judged.skipped}), ElementsAreArray(row.counts));
        EXPECT_THAT(judged.lines, ElementsAreArray(row.lines));
    }
}

// The platform as the runner sees it: services with their programs, folders
// with what check_folder finds, and every removal and line recorded.
class FakeHost final : public Host {
public:
    std::map<std::string, std::string> services;
    std::map<std::string, FolderCheck> folders;
    bool marked = true;
    std::map<std::string, ProgramRun> programs;
    std::vector<std::string> said, removed;

    void say(const std::string& line) override { said.push_back(line); }
    bool is_administrator() override { return true; }
    void check_bundle() override {}
    std::string bundle_root() override { return "C:\\Bundle"; }
    bool bundle_marked() override { return marked; }
    std::vector<std::string> test_folders() override {
        return {"C:\\vek-scenarios", "C:\\Program Files\\Vek"};
    }
    FolderCheck check_folder(const std::string& folder) override {
        auto found = folders.find(folder);
        return found == folders.end() ? FolderCheck{} : found->second;
    }
    unsigned long remove_folder(const std::string& folder) override {
        removed.push_back(folder);
        folders.erase(folder);
        return 0;
    }
    std::optional<std::string> service_program(const std::string& name) override {
        auto found = services.find(name);
        if (found == services.end()) return std::nullopt;
        return found->second;
    }
    bool remove_service(const std::string& name) override {
        removed.push_back(name);
        return services.erase(name) == 1;
    }
    std::string full_path(const std::string& path) override { return path; }
    bool same_name(std::string_view a, std::string_view b) override {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                          [](char x, char y) { return std::tolower(x) == std::tolower(y); });
    }
    std::optional<std::vector<std::string>> program_names() override {
        std::vector<std::string> names;
        for (const auto& [name, run] : programs) names.push_back(name);
        return names;
    }
    // What a program makes outside the bundle and leaves there.
    std::pair<std::string, FolderCheck> leaves;
    ProgramRun run_program(const std::string& name) override {
        if (!leaves.first.empty()) folders.insert(leaves);
        return programs.at(name);
    }
};

const FolderCheck own{FolderCheck::tests_own, {}};

// A service is the tests' own only when its program lies below a folder of
// theirs (a separator after the folder's name) or below a marked bundle;
// anything else keeps the run from starting and is never removed.
TEST(RunnerLeftovers, TakesAServiceAsTheTestsOwnOnlyBelowTheirFolders) {
    struct Row {
        const char* program;
        bool marked;
        bool own;
    };
    // clang-format off
    for (const Row& row : {Row{"C:\\vek-scenarios\\s\\vek.exe", true, true}, Row{"c:\\VEK-SCENARIOS\\vek.exe", true, true},
                           Row{"C:\\vek-scenarios-x\\vek.exe", true, false}, Row{"C:\\vek-scenariosvek.exe", true, false},
                           Row{"C:\\Bundle\\service\\vek.exe", true, true}, Row{"C:\\Bundle\\service\\vek.exe", false, false},
                           Row{"C:\\Bundle-other\\vek.exe", true, false}, Row{"vek.exe", true, false}}) {
        // clang-format on
        SCOPED_TRACE(row.program);
        FakeHost host;
        host.folders["C:\\vek-scenarios"] = own;
        host.marked = row.marked;
        host.services["vek-system-service"] = row.program;

        EXPECT_EQ(start_clean(host), row.own ? 0 : 1);
        EXPECT_EQ(host.services.count("vek-system-service"), row.own ? 0u : 1u);
        EXPECT_EQ(host.removed.empty(), !row.own) << "a refusal changed something";
    }
}

// finish counts every leftover and removes only what is the tests' own.
TEST(RunnerLeftovers, FinishRemovesOnlyTheTestsOwnAndCountsEverything) {
    FakeHost host;
    host.folders["C:\\vek-scenarios"] = own;
    host.folders["C:\\Program Files\\Vek"] = {FolderCheck::foreign, "holds no vek-tests.marker"};
    host.services["vek-system-service"] = "C:\\vek-scenarios\\vek.exe";
    host.services["vek-scm-client-test"] = "C:\\Elsewhere\\vek.exe";

    EXPECT_EQ(finish(host), 4);
    EXPECT_THAT(host.removed,
                ElementsAre("vek-system-service", "C:\\vek-scenarios", "C:\\Bundle\\work"));
    EXPECT_EQ(host.folders.count("C:\\Program Files\\Vek"), 1u);
    EXPECT_EQ(host.services.count("vek-scm-client-test"), 1u);
}

// The closing line adds up the programs' counts and the leftovers; a list
// that names no program is a failure too.
TEST(RunnerLeftovers, ClosingLineCountsProgramsAndLeftovers) {
    FakeHost host;
    host.programs["a_test"] = {ProgramRun::ended, 0, 0, report(passes + skips)};
    host.programs["b_test"] = {ProgramRun::ended, 1, 0, report(fails)};
    host.programs["c_test"] = {ProgramRun::missing};
    host.leaves = {"C:\\vek-scenarios", own};

    EXPECT_EQ(run_tests(host), 1);
    EXPECT_THAT(host.said, ::testing::Contains("LEFT BEHIND: the folder C:\\vek-scenarios"));
    EXPECT_THAT(host.said, ::testing::Contains("1 skipped, each named above with the reason."));
    EXPECT_EQ(host.said.back(), "1 passed, 3 failed");

    FakeHost none;
    EXPECT_EQ(run_tests(none), 1);
    EXPECT_THAT(none.said, ElementsAre("FAIL  tests\\test-programs.txt names no test program",
                                       "0 passed, 1 failed"));
}

}  // namespace
}  // namespace vek::bundle
