// The installer end to end, against the platform's real service control
// manager and the real sample service: each scenario lays out a folder of its
// own, runs vek-system-service-setup.exe there as a child process and checks
// everything a user can see: standard output, standard error, the exit code,
// the registration and the service's state.
//
// Every scenario starts and ends with no service registered under the name,
// so they do not depend on each other. They must run one at a time (the
// manager takes one start at a time), which the build arranges.
#include "support/child_process.h"
#include "support/folders.h"
#include "support/service_manager.h"
#include "support/text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace vek::windows_test {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::StartsWith;

constexpr char installing[] = "Installing service...\n";
constexpr char exists_starting[] = "Service exists, starting...\n";
constexpr char creating[] = "Creating service...\n";
constexpr char installed[] = "Service installed successfully.\n";

const std::string first_install_output = std::string(installing) + creating + installed;

// Where the installer reports whatever the platform answers (a start refused,
// a write to a closed pipe), the scenario first asks the platform the same
// question itself and expects the installer's report to carry that answer:
// Wine's answers are not always Windows' (a folder in the program's place:
// Wine says 2, Windows documents 193), and the same test holds on both.

// What the installer prints and reports when the manager answers the start
// of the service it has just registered with `answer` (0: started).
struct FirstRun {
    std::string out;
    std::string err;
    DWORD exit_code;
};
FirstRun first_run_with_start_answer(DWORD answer) {
    if (answer == 0) return {first_install_output, "", 0};
    return {std::string(installing) + creating, winapi_report(answer), 1};
}

// The command line the installer registers for a service program at `path`:
// bare, or in double quotes when the path holds a space.
std::wstring command_line_for(const std::wstring& path) {
    return path.find(L' ') == std::wstring::npos ? path : L"\"" + path + L"\"";
}

class Scenario : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(GetFileAttributesW(built_installer().c_str()), INVALID_FILE_ATTRIBUTES)
            << "no installer at " << utf8(built_installer());
        remove_service();
        ASSERT_FALSE(is_registered()) << "a registration was left from before";
    }

    void TearDown() override {
        remove_service();
        EXPECT_FALSE(is_registered()) << "the scenario left a registration";
    }

    // A fresh folder under the scenarios' root holding the installer and,
    // unless told otherwise, the sample service. Gives the folder's path.
    static std::wstring lay_out(const std::wstring& name, bool with_service = true) {
        std::wstring folder = scenario_folder(name);
        copy_file(built_installer(), folder + L"\\" + installer_file_name);
        if (with_service) copy_file(built_service(), folder + L"\\" + service_file_name);
        return folder;
    }

    static ChildResult run_installer_in(const std::wstring& folder,
                                        const ChildOptions& options = {}) {
        return run_child(folder + L"\\" + installer_file_name, options);
    }

    // Installs in `folder` and waits until the service runs.
    static void install_running(const std::wstring& folder) {
        ChildResult first = run_installer_in(folder);
        ASSERT_EQ(first.err, "");
        ASSERT_EQ(first.out, first_install_output);
        ASSERT_EQ(first.exit_code, 0u);
        ASSERT_EQ(wait_for_state(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
    }
};

// --- First install ------------------------------------------------------

struct FirstInstallCase {
    const char* label;
    const wchar_t* folder;
};
void PrintTo(const FirstInstallCase& c, std::ostream* os) { *os << c.label; }

class FirstInstall : public Scenario,
                     public ::testing::WithParamInterface<FirstInstallCase> {};

TEST_P(FirstInstall, RegistersTheProgramBesideTheInstallerAndStartsIt) {
    std::wstring folder = lay_out(GetParam().folder);
    std::wstring service_path = folder + L"\\" + service_file_name;

    ChildResult result = run_installer_in(folder);

    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, first_install_output);
    EXPECT_EQ(result.exit_code, 0u);
    expect_registration(installed_registration(command_line_for(service_path)));
    EXPECT_EQ(wait_for_state(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
}

INSTANTIATE_TEST_SUITE_P(
    Folders, FirstInstall,
    ::testing::Values(
        // No quoting character anywhere: the bare path is the command line.
        FirstInstallCase{"Plain", L"plain"},
        // Spaces quote the whole path; the other characters (Latin, CJK, and
        // one beyond the 16-bit range, a surrogate pair) go through unchanged.
        FirstInstallCase{"SpacesAndNonAscii",
                         L"Program Files\\Vek Dienst \u00e4\u00f6\u00fc \u2013 "
                         L"\u65e5\u672c \U0001F600"}),
    [](const ::testing::TestParamInfo<FirstInstallCase>& case_info) { return case_info.param.label; });

// Deployment tools add silent switches to every installer: the installer
// ignores its arguments, so even "/?" installs and starts the service.
TEST_F(Scenario, ArgumentsAreIgnored) {
    std::wstring folder = lay_out(L"arguments");
    ChildOptions options;
    options.arguments = L"/? /S /quiet";

    ChildResult result = run_installer_in(folder, options);

    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, first_install_output);
    EXPECT_EQ(result.exit_code, 0u);
    expect_registration(installed_registration(folder + L"\\" + service_file_name));
}

// Exit code 0 says that the manager accepted the start request, not that the
// service runs: a service program that fails as soon as it has started
// still gives 0.
TEST_F(Scenario, ExitCodeZeroMeansTheStartWasAcceptedNotThatTheServiceRuns) {
    std::wstring folder = lay_out(L"stops-at-once");
    make_empty_file(folder + L"\\vek-system-service.stop-at-once");

    ChildResult result = run_installer_in(folder);

    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, first_install_output);
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(wait_until_settled(), static_cast<DWORD>(SERVICE_STOPPED));
}

// --- An existing registration --------------------------------------------

TEST_F(Scenario, SecondRunWhileRunningChangesNothing) {
    std::wstring folder = lay_out(L"second-run");
    ASSERT_NO_FATAL_FAILURE(install_running(folder));

    // Changed behind the installer's back: a second run must leave these be.
    {
        ScHandle service = open_service(SERVICE_CHANGE_CONFIG);
        ASSERT_TRUE(service);
        ASSERT_TRUE(ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_DEMAND_START,
                                         SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                         nullptr, nullptr, nullptr));
        wchar_t changed[] = L"changed by the test";
        SERVICE_DESCRIPTIONW description{changed};
        ASSERT_TRUE(ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description));
    }
    Registration expected = installed_registration(folder + L"\\" + service_file_name);
    expected.start_type = SERVICE_DEMAND_START;
    expected.description = L"changed by the test";
    expect_registration(expected);

    ChildResult result = run_installer_in(folder);

    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, installing);
    EXPECT_EQ(result.exit_code, 0u);
    expect_registration(expected);
    EXPECT_EQ(current_state(), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(Scenario, StoppedServiceIsStartedAgain) {
    std::wstring folder = lay_out(L"stopped");
    ASSERT_NO_FATAL_FAILURE(install_running(folder));
    ASSERT_EQ(send_control(SERVICE_CONTROL_STOP), 0u);
    ASSERT_EQ(wait_for_state(SERVICE_STOPPED), static_cast<DWORD>(SERVICE_STOPPED));

    ChildResult result = run_installer_in(folder);

    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, std::string(installing) + exists_starting);
    EXPECT_EQ(result.exit_code, 0u);
    expect_registration(installed_registration(folder + L"\\" + service_file_name));
    EXPECT_EQ(wait_for_state(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(Scenario, PausedServiceGetsAStartRequestAndItsAnswerIsReported) {
    std::wstring folder = lay_out(L"paused");
    ASSERT_NO_FATAL_FAILURE(install_running(folder));
    ASSERT_EQ(send_control(SERVICE_CONTROL_PAUSE), 0u);
    ASSERT_EQ(wait_for_state(SERVICE_PAUSED), static_cast<DWORD>(SERVICE_PAUSED));
    DWORD answer = start_answer();
    ASSERT_NE(answer, 0u) << "the manager started a paused service";
    ASSERT_EQ(current_state(), static_cast<DWORD>(SERVICE_PAUSED));

    ChildResult result = run_installer_in(folder);

    EXPECT_EQ(result.out, std::string(installing) + exists_starting);
    EXPECT_EQ(result.err, winapi_report(answer));
    EXPECT_EQ(result.exit_code, 1u);
    expect_registration(installed_registration(folder + L"\\" + service_file_name));
    EXPECT_EQ(current_state(), static_cast<DWORD>(SERVICE_PAUSED));
    // Left as it was: it still answers the manager.
    EXPECT_EQ(send_control(SERVICE_CONTROL_CONTINUE), 0u);
    EXPECT_EQ(wait_for_state(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
}

// --- The service program -------------------------------------------------

struct MissingCase {
    const char* label;
    const wchar_t* folder;
};
void PrintTo(const MissingCase& c, std::ostream* os) { *os << c.label; }

class MissingExecutable : public Scenario,
                          public ::testing::WithParamInterface<MissingCase> {};

TEST_P(MissingExecutable, IsReportedWithItsPathAndNothingIsRegistered) {
    std::wstring folder = lay_out(GetParam().folder, /*with_service=*/false);

    ChildResult result = run_installer_in(folder);

    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error: Bin path not exists: " +
                              quoted_path(folder + L"\\" + service_file_name) + "\n");
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_FALSE(is_registered());
}

INSTANTIATE_TEST_SUITE_P(
    Folders, MissingExecutable,
    ::testing::Values(MissingCase{"Plain", L"missing"},
                      // Printable non-ASCII stays as it is (UTF-8); the
                      // apostrophe is escaped.
                      MissingCase{"ApostropheAndNonAscii", L"Bob's \u00e9t\u00e9 folder"}),
    [](const ::testing::TestParamInfo<MissingCase>& case_info) { return case_info.param.label; });

TEST_F(Scenario, FolderInPlaceOfTheProgramIsRegisteredButDoesNotStart) {
    std::wstring folder = lay_out(L"folder-as-program", /*with_service=*/false);
    make_directories(folder + L"\\" + service_file_name);
    std::wstring command_line = command_line_for(folder + L"\\" + service_file_name);
    DWORD answer = start_answer_for(command_line);
    ASSERT_NE(answer, 0u) << "the manager started a folder";

    ChildResult result = run_installer_in(folder);

    FirstRun expected = first_run_with_start_answer(answer);
    EXPECT_EQ(result.out, expected.out);
    EXPECT_EQ(result.err, expected.err);
    EXPECT_EQ(result.exit_code, expected.exit_code);
    // The registration stays, description included.
    expect_registration(installed_registration(command_line));
    EXPECT_EQ(current_state(), static_cast<DWORD>(SERVICE_STOPPED));
}

// The manager would expand %OS% at every start (to Windows_NT) and run
// another program than the one beside the installer.
TEST_F(Scenario, PercentSignInTheFolderIsRefusedBeforeRegistering) {
    std::wstring folder = lay_out(L"%OS%");

    ChildResult result = run_installer_in(folder);

    EXPECT_EQ(result.out, std::string(installing) + creating);
    EXPECT_EQ(result.err,
              "Error: Bin path contains a percent sign, which the service manager would expand: " +
                  quoted_path(folder + L"\\" + service_file_name) + "\n");
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_FALSE(is_registered());
}

// Compilers fold small functions into their callers; the trace shows each
// folded function as a frame of its own, so frame 0 is where the error was
// made, not the function it was folded into.
TEST_F(Scenario, TraceNamesTheInlinedFunctionThatMadeTheError) {
    std::wstring folder = lay_out(L"%OS%");
    copy_file(built_installer_symbols(), folder + L"\\" + installer_symbols_file_name);
    ChildOptions options;
    options.environment.emplace_back(L"VEK_BACKTRACE", L"1");

    ChildResult result = run_installer_in(folder, options);

    EXPECT_EQ(result.exit_code, 1u);
    std::string heading = "\n\nStack backtrace:\n";
    std::size_t at = result.err.find(heading);
    ASSERT_NE(at, std::string::npos) << result.err;
    std::istringstream frames(result.err.substr(at + heading.size()));
    std::string frame_0, source_0, frame_1, source_1;
    std::getline(frames, frame_0);
    std::getline(frames, source_0);
    std::getline(frames, frame_1);
    std::getline(frames, source_1);
    EXPECT_THAT(frame_0, MatchesRegex(" *0: .*create_and_start"));
    EXPECT_THAT(source_0, MatchesRegex(" +at .*src.installer.install_sequence\\.cpp:\\d+"));
    EXPECT_THAT(frame_1, MatchesRegex(" *1: vek::run_installer"));
    // The line of the call into the inlined function, not a line inside it.
    EXPECT_THAT(source_1, MatchesRegex(" +at .*src.installer.install_sequence\\.cpp:" +
                                       std::to_string(VEK_CREATE_AND_START_CALL_LINE)));
    EXPECT_FALSE(is_registered());
}

TEST_F(Scenario, DeepInstallerFindsItsServiceAndRegistersTheFullPath) {
    // Six levels of 90 characters: the installer's own path is well beyond
    // the 512 units first offered for it.
    std::wstring folder = L"deep";
    for (int level = 0; level < 6; ++level)
        folder += L"\\" + std::wstring(89, static_cast<wchar_t>(L'a' + level)) + L"z";
    folder = lay_out(folder);
    std::wstring service_path = folder + L"\\" + service_file_name;
    ASSERT_GT(folder.size() + 1 + wcslen(installer_file_name), 512u);
    // The program is really there: a failed start below is the manager's.
    // (Wine's manager cannot launch a program this deep and answers 2;
    // Windows may start it.)
    ASSERT_NE(GetFileAttributesW(long_form(service_path).c_str()), INVALID_FILE_ATTRIBUTES);
    DWORD answer = start_answer_for(command_line_for(service_path));

    std::optional<ChildResult> run = try_run_child(folder + L"\\" + installer_file_name);
    if (!run)
        GTEST_SKIP() << "this system cannot start a program "
                     << folder.size() + 1 + wcslen(installer_file_name)
                     << " characters deep (CreateProcessW: error " << GetLastError() << ")";
    ChildResult result = *run;

    // Found and registered by its full path.
    expect_registration(installed_registration(service_path));
    FirstRun expected = first_run_with_start_answer(answer);
    EXPECT_EQ(result.out, expected.out);
    EXPECT_EQ(result.err, expected.err);
    EXPECT_EQ(result.exit_code, expected.exit_code);
    EXPECT_EQ(wait_until_settled(),
              static_cast<DWORD>(answer == 0 ? SERVICE_RUNNING : SERVICE_STOPPED));
}

// --- The report's backtrace ------------------------------------------------

struct BacktraceCase {
    const char* label;
    std::optional<std::wstring> value;  // none: the variable is not set
    bool traced;
    // Whether the installer's PDB lies beside it.
    bool with_symbols = true;
};
void PrintTo(const BacktraceCase& c, std::ostream* os) { *os << c.label; }

class BacktraceSwitch : public Scenario,
                        public ::testing::WithParamInterface<BacktraceCase> {};

TEST_P(BacktraceSwitch, DecidesWhetherTheReportEndsWithATrace) {
    std::wstring folder = lay_out(L"backtrace", /*with_service=*/false);
    ChildOptions options;
    options.environment.emplace_back(L"VEK_BACKTRACE", GetParam().value);
    if (GetParam().with_symbols) {
        copy_file(built_installer_symbols(), folder + L"\\" + installer_symbols_file_name);
    } else {
        // The very PDB, but in the current folder, which any user may write
        // to: it must not be read.
        std::wstring current = scenario_folder(L"current");
        copy_file(built_installer_symbols(), current + L"\\" + installer_symbols_file_name);
        options.directory = current;
    }

    ChildResult result = run_installer_in(folder, options);

    std::string report =
        "Error: Bin path not exists: " + quoted_path(folder + L"\\" + service_file_name);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.exit_code, 1u);
    if (!GetParam().traced) {
        EXPECT_EQ(result.err, report + "\n");
        return;
    }
    std::string heading = report + "\n\nStack backtrace:\n";
    ASSERT_THAT(result.err, StartsWith(heading));
    // Frame 0 is the function that made the error, not the capture
    // machinery: named with its source file and line from the PDB, or only
    // its address without it.
    std::string frames = result.err.substr(heading.size());
    std::string frame_0 = frames.substr(0, frames.find('\n'));
    frame_0 = frame_0.substr(frame_0.find_first_not_of(' '));
    if (GetParam().with_symbols) {
        EXPECT_EQ(frame_0, "0: vek::locate_service_executable");
        std::string source = frames.substr(frames.find('\n') + 1);
        source = source.substr(0, source.find('\n'));
        EXPECT_THAT(source, MatchesRegex(" +at .*src.installer.service_executable\\.cpp:\\d+"));
    } else {
        EXPECT_THAT(frame_0, MatchesRegex("0: 0x\\w+"));
    }
    // The walk ends at the thread's first frame, not in frames at address 0.
    EXPECT_THAT(result.err, Not(HasSubstr(": 0x0\n")));
    // Every name ends at its own length: no NUL or other control byte but the
    // line feeds.
    EXPECT_EQ(std::count_if(result.err.begin(), result.err.end(),
                            [](unsigned char c) { return (c < 0x20 && c != '\n') || c == 0x7F; }),
              0);
    // Trailing white space is cut; only the report's own line feed ends it.
    ASSERT_GE(result.err.size(), 2u);
    EXPECT_EQ(result.err.back(), '\n');
    EXPECT_FALSE(std::isspace(static_cast<unsigned char>(result.err[result.err.size() - 2])));
}

INSTANTIATE_TEST_SUITE_P(
    Values, BacktraceSwitch,
    ::testing::Values(BacktraceCase{"Absent", std::nullopt, false},
                      BacktraceCase{"Zero", L"0", false},
                      BacktraceCase{"One", L"1", true},
                      BacktraceCase{"Empty", L"", true},
                      BacktraceCase{"Word", L"full", true},
                      BacktraceCase{"WithoutSymbols", L"1", true, false}),
    [](const ::testing::TestParamInfo<BacktraceCase>& case_info) { return case_info.param.label; });

// --- Standard streams ------------------------------------------------------

TEST_F(Scenario, ClosedStandardErrorStillEndsWithExitCodeOne) {
    std::wstring folder = lay_out(L"stderr-closed", /*with_service=*/false);
    ChildOptions options;
    options.err = Stream::closed;

    ChildResult result = run_installer_in(folder, options);

    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.exit_code, 1u);
}

// The platform's answer to a write into a pipe whose read end is closed.
DWORD closed_pipe_write_answer() {
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, nullptr, 0)) return 0;
    CloseHandle(read_end);
    DWORD written = 0;
    DWORD answer = WriteFile(write_end, "x", 1, &written, nullptr) ? 0 : GetLastError();
    CloseHandle(write_end);
    return answer;
}

TEST_F(Scenario, ClosedStandardOutputEndsTheRunAsAnInternalFault) {
    std::wstring folder = lay_out(L"stdout-closed");
    ChildOptions options;
    options.out = Stream::closed;
    DWORD answer = closed_pipe_write_answer();
    ASSERT_NE(answer, 0u) << "a write into a closed pipe succeeded";

    ChildResult result = run_installer_in(folder, options);

    EXPECT_EQ(result.err, "failed printing to stdout: " + os_error_text(answer) + "\n");
    EXPECT_EQ(result.exit_code, 2u);
    // The first step line failed, before anything was registered.
    EXPECT_FALSE(is_registered());
}

// On Windows a caller without administrator rights may connect to the
// manager but not register a service: the installer asks for both at once,
// so the connection is refused before the first step line. A restricted
// token with the Administrators group for deny only makes such a caller of
// an administrator.
TEST_F(Scenario, CallerWithoutAdministratorRightsGetsTheManagersRefusal) {
    if (under_wine())
        GTEST_SKIP() << "Wine grants every caller every right: a caller without administrator "
                        "rights cannot be made there";
    std::wstring folder = lay_out(L"not-an-administrator");
    ChildOptions options;
    options.without_administrators = true;

    ChildResult result = run_installer_in(folder, options);

    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, winapi_report(ERROR_ACCESS_DENIED));
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_FALSE(is_registered());
}

// With STARTF_USESTDHANDLES and a NULL output handle (and no console to fall
// back on) Wine gives the child no standard output at all: GetStdHandle
// answers NULL there, as on Windows.
TEST_F(Scenario, MissingStandardOutputDropsTheStepsAndInstalls) {
    std::wstring folder = lay_out(L"stdout-none");
    ChildOptions options;
    options.out = Stream::none;

    ChildResult result = run_installer_in(folder, options);

    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_code, 0u);
    expect_registration(installed_registration(folder + L"\\" + service_file_name));
    EXPECT_EQ(wait_for_state(SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
}

}  // namespace
}  // namespace vek::windows_test
