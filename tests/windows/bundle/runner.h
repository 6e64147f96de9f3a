// The test bundle's runner, as bundle-helper runs it: what it judges, apart
// from how it asks the platform (a Host), so that the judging is tested on
// Linux as well.
//
// A run: refuse unless an administrator runs it; refuse, changing nothing,
// while a service or folder the tests use is there and is not the tests'
// own, and otherwise remove what an interrupted run left; run each test
// program with a time limit, its output in logs\<name>.log and GoogleTest's
// own XML report in logs\<name>.xml; report what the run left outside the
// bundle; print "N passed, M failed", counting test cases. A program that is
// missing, crashed, was ended at the time limit, left no whole report,
// reported no test, or exited with another code than 0 without a failed test
// is one failure; so is each leftover. All text here is UTF-8, as
// GoogleTest's reports are; the host converts at the platform's calls.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vek::bundle {

// The services the tests register, each removed again by the test that made
// it. The folders they make outside the bundle depend on the machine: the
// host's test_folders().
inline const std::vector<std::string> test_services = {"vek-system-service", "vek-scm-client-test"};

struct FolderCheck {
    enum State { missing, tests_own, foreign } state = missing;
    // For a foreign folder, why it is not the tests' own, as the end of a
    // sentence that names the folder ("is a link", "holds no ...").
    std::string why;
};

// How a test program's run ended, as the host saw it.
struct ProgramRun {
    enum How { missing, not_started, timed_out, ended } how = ended;
    unsigned long exit_code = 0;
    unsigned long start_error = 0;  // for not_started
    // logs\<name>.xml as the program left it; none when it wrote none.
    std::optional<std::string> report;
};

class Host {
public:
    virtual ~Host() = default;
    virtual void say(const std::string& line) = 0;
    virtual bool is_administrator() = 0;
    // Warns, saying so, when others than administrators can change the
    // bundle's own folder.
    virtual void check_bundle() = 0;
    // The bundle's own folder, and whether it holds the marker as a file.
    virtual std::string bundle_root() = 0;
    virtual bool bundle_marked() = 0;
    virtual std::vector<std::string> test_folders() = 0;
    virtual FolderCheck check_folder(const std::string& folder) = 0;
    // Removes the folder with everything inside, never following a link; the
    // platform's code for what could not be removed, 0 when all was.
    virtual unsigned long remove_folder(const std::string& folder) = 0;
    // Where a registered service's program lies (from the command line the
    // manager keeps; empty when it cannot be read); none when the service
    // is not registered.
    virtual std::optional<std::string> service_program(const std::string& name) = 0;
    virtual bool remove_service(const std::string& name) = 0;
    // A path as the system resolves it (".." taken away); empty when it has
    // no full form.
    virtual std::string full_path(const std::string& path) = 0;
    // Whether two names are one as the platform compares them (without
    // regard to case).
    virtual bool same_name(std::string_view a, std::string_view b) = 0;
    // The programs tests\test-programs.txt names; none when it cannot be read.
    virtual std::optional<std::vector<std::string>> program_names() = 0;
    // Runs tests\<name>.exe within the time limit, as described above.
    virtual ProgramRun run_program(const std::string& name) = 0;
};

// What a test program's GoogleTest XML report says: none when it is no
// whole report (cut short, say, by a crash while it was written).
struct Report {
    int passed = 0, failed = 0, skipped = 0;
    // "skipped Suite.Test: why", one for each skipped test.
    std::vector<std::string> skipped_tests;
};
std::optional<Report> read_report(std::string_view xml);

// A program's counts and the line the run prints for it (and the lines
// naming what it skipped).
struct Judgement {
    int passed = 0, failed = 0, skipped = 0;
    std::vector<std::string> lines;
};
Judgement judge(const std::string& name, const ProgramRun& run);

// 0 when nothing is in the way, 1 when the run must not start (said why,
// nothing changed), 3 when something an earlier run left could not be removed.
// A service is the tests' own only while its program lies below one of their
// folders that check_folder finds theirs, or below the marked bundle.
int start_clean(Host& host);

// Reports, one line each, what is left outside the bundle, removes what is
// the tests' own, and gives the number of leftovers.
int finish(Host& host);

// The whole run: 0 when nothing failed, 1 when something did, 2 when it could
// not start.
int run_tests(Host& host);

}  // namespace vek::bundle
