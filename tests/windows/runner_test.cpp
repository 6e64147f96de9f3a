// The bundle's runner: run-tests.cmd will not start beside a service or a
// folder it did not make, and leaves them exactly as they were; its count
// shows every way a test program can fail; its check at the end reports what
// a run left outside the bundle, and removes it when it is the tests' own,
// never following a link out of it.
#include "support/bundle.h"
#include "support/child_process.h"
#include "support/folders.h"
#include "support/service_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <winioctl.h>

#include <cstring>
#include <string>
#include <vector>

namespace vek::windows_test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// Runs `program` with `arguments` in the bundle's folder, with a console of
// its own (Wine's cmd needs one to redirect what it runs).
ChildResult run_in_bundle(const std::wstring& program, const std::wstring& arguments,
                          const std::wstring& bundle = bundle_root(),
                          ChildOptions options = {}) {
    options.arguments = arguments;
    options.directory = bundle;
    options.console = ProcessOptions::Console::own_hidden;
    return run_child(program, options);
}

ChildResult run_tests(const std::wstring& bundle = bundle_root(), ChildOptions options = {}) {
    return run_in_bundle(system_program(L"cmd.exe"), L"/c run-tests.cmd", bundle,
                         std::move(options));
}

ChildResult run_helper(const std::wstring& command) {
    return run_in_bundle(bundle_file(L"tests\\bundle-helper.exe"), command);
}

void write_file(const std::wstring& path, const std::string& bytes) {
    detail::OwnedHandle file(CreateFileW(long_form(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file.get() == INVALID_HANDLE_VALUE ||
        !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
        ADD_FAILURE() << "cannot write " << utf8(path) << ": " << GetLastError();
}

// Runs a program of the host (under Wine only) with `arguments`, which it
// gets as they are.
bool run_host_program(const std::wstring& program, const std::wstring& arguments) {
    ProcessOptions options;
    options.arguments = arguments;
    options.out = options.err = Stream::none;
    // The host program's end cannot be waited for from here; what it made
    // can.
    options.wait = false;
    return run_process(program, options).started;
}

// Makes `link` a link to the folder `target` as this platform lets a user
// make one: on Windows a junction, which needs no privilege; under Wine,
// which can make neither junctions nor symbolic links, a host symbolic link,
// which it shows as a link. Whether a link is there afterwards.
bool make_folder_link(const std::wstring& link, const std::wstring& target) {
    if (under_wine()) {
        std::string host_target = host_path(target);
        std::string host_parent = host_path(link.substr(0, link.find_last_of(L'\\')));
        std::wstring name = link.substr(link.find_last_of(L'\\') + 1);
        if (!host_target.empty() && !host_parent.empty())
            run_host_program(L"Z:\\bin\\ln",
                             L"-s \"" + wide(host_target) + L"\" \"" + wide(host_parent) + L"/" +
                                 name + L"\"");
        for (int waited = 0; waited < 100 && !exists(link); ++waited) Sleep(50);
    } else if (CreateDirectoryW(long_form(link).c_str(), nullptr)) {
        detail::OwnedHandle handle(CreateFileW(
            long_form(link).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        // A mount-point reparse buffer: the substitute name (\??\ form) and
        // the print name, each NUL-terminated.
        std::wstring substitute = L"\\??\\" + target, print = target;
        std::vector<BYTE> buffer(16 + (substitute.size() + print.size() + 2) * sizeof(wchar_t));
        auto put16 = [&](std::size_t at, std::size_t value) {
            buffer[at] = static_cast<BYTE>(value);
            buffer[at + 1] = static_cast<BYTE>(value >> 8);
        };
        DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
        std::memcpy(buffer.data(), &tag, 4);
        put16(4, buffer.size() - 8);
        put16(8, 0);
        put16(10, substitute.size() * sizeof(wchar_t));
        put16(12, (substitute.size() + 1) * sizeof(wchar_t));
        put16(14, print.size() * sizeof(wchar_t));
        std::memcpy(buffer.data() + 16, substitute.c_str(), (substitute.size() + 1) * 2);
        std::memcpy(buffer.data() + 16 + (substitute.size() + 1) * 2, print.c_str(),
                    (print.size() + 1) * 2);
        DWORD returned = 0;
        DeviceIoControl(handle.get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                        static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
    }
    DWORD attributes = GetFileAttributesW(long_form(link).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Removes a link that make_folder_link made, as a link.
void remove_folder_link(const std::wstring& link) {
    if (!exists(link)) return;
    if (under_wine()) {
        std::string host = host_path(link);
        if (!host.empty()) run_host_program(L"Z:\\bin\\rm", L"-f \"" + wide(host) + L"\"");
        for (int waited = 0; waited < 100 && exists(link); ++waited) Sleep(50);
    } else {
        RemoveDirectoryW(long_form(link).c_str());
    }
    if (exists(link)) ADD_FAILURE() << "cannot remove the link " << utf8(link);
}

// Gives `path` the owner and DACL of `security` (SDDL); an owner other than
// the Administrators group or this account takes the restore privilege, an
// administrator's.
void set_security(const std::wstring& path, const std::wstring& security) {
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        TOKEN_PRIVILEGES privileges{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
        if (LookupPrivilegeValueW(nullptr, L"SeRestorePrivilege", &privileges.Privileges[0].Luid))
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
        CloseHandle(token);
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        security.c_str(), SDDL_REVISION_1, &descriptor, nullptr));
    SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION;
    if (security.find(L"D:") != std::wstring::npos)
        parts |= DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    EXPECT_TRUE(SetFileSecurityW(long_form(path).c_str(), parts, descriptor))
        << "the security cannot be set: error " << GetLastError();
    LocalFree(descriptor);
}

// The account this process runs as, in SDDL.
std::wstring own_account() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    wchar_t* text = nullptr;
    std::wstring account;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text))
        account = text;
    LocalFree(text);
    CloseHandle(token);
    return account;
}

// Why a test of owners or DACLs is skipped where the platform keeps neither.
std::string keeps_no_security() {
    return "this platform keeps no owner or DACL: a file made with the owner Administrators and "
           "a protected DACL reads back as " +
           utf8(platform_security().read_back) +
           " (Wine: the prefix's own user for every file, and a DACL made up from the host "
           "file's mode bits)";
}

class Runner : public ::testing::Test {
protected:
    void SetUp() override { remove_service(); }
    void TearDown() override {
        remove_service();
        remove_scenarios_root();
    }
};

// A folder the tests use that is there already, and is not theirs: the run
// refuses before it changes anything, and the folder keeps what it held.
enum class Marker { none, file, folder };

struct ForeignFolder {
    std::wstring folder;
    Marker marker;
};

std::vector<ForeignFolder> foreign_folders(Marker marker) {
    return {{scenarios_root, marker}, {deployment_folder(), marker}};
}

void expect_refused_and_left_as_it_was(const ForeignFolder& row) {
    std::wstring file = row.folder + L"\\someone else's.txt";
    ChildResult run = run_tests();

    EXPECT_EQ(run.exit_code, 2u) << run.out << run.err;
    EXPECT_THAT(run.out, HasSubstr("The folder " + utf8(row.folder) + " exists and"));
    EXPECT_THAT(run.out, HasSubstr("nothing was run, and nothing was changed"));
    EXPECT_TRUE(exists(file)) << "a file of the foreign folder was removed";
    EXPECT_EQ(exists(row.folder + L"\\" + marker_name), row.marker != Marker::none);
}

void make_foreign_folder(const ForeignFolder& row) {
    ASSERT_FALSE(exists(row.folder)) << utf8(row.folder) << " is there: refusing to run";
    ASSERT_TRUE(CreateDirectoryW(long_form(row.folder).c_str(), nullptr)) << GetLastError();
    write_file(row.folder + L"\\someone else's.txt", "not the tests'");
    std::wstring marker = row.folder + L"\\" + marker_name;
    if (row.marker == Marker::file) write_file(marker, "");
    if (row.marker == Marker::folder) make_directories(marker);
}

TEST_F(Runner, RefusesAFolderWithoutTheMarkerAndLeavesItAsItWas) {
    for (Marker marker : {Marker::none, Marker::folder}) {
        for (const ForeignFolder& row : foreign_folders(marker)) {
            SCOPED_TRACE(utf8(row.folder) + (marker == Marker::folder ? ", marker a folder" : ""));
            make_foreign_folder(row);
            expect_refused_and_left_as_it_was(row);
            remove_tree(row.folder);
        }
    }
}

// A folder and its marker are the tests' only when both are owned by
// Administrators or SYSTEM: not by the Users group, nor, on Windows, by the
// account running the tests (its processes that are not elevated own what
// they make, and could so make the folder, the marker and a DACL of their
// choosing).
TEST_F(Runner, RefusesAMarkedFolderOfAnotherOwnerAndLeavesItAsItWas) {
    if (!platform_security().kept) GTEST_SKIP() << keeps_no_security();
    std::wstring own = own_account();
    for (const std::wstring& other : {std::wstring(L"BU"), own}) {
        if (other == L"S-1-5-18") continue;  // tests run as SYSTEM: that owner is trusted
        for (const ForeignFolder& row : foreign_folders(Marker::file)) {
            for (bool marker_only : {false, true}) {
                SCOPED_TRACE(utf8(row.folder) + (marker_only ? "'s marker" : "") + " owned by " +
                             utf8(other));
                make_foreign_folder(row);
                set_security(row.folder, L"O:" + (marker_only ? L"BA" : other));
                set_security(row.folder + L"\\" + marker_name, L"O:" + other);
                expect_refused_and_left_as_it_was(row);
                remove_tree(row.folder);
            }
        }
    }
}

// The folder's DACL inherits nothing, and gives no right to write to anyone
// but SYSTEM and Administrators; the folder is owned by Administrators.
void expect_protected(const std::wstring& folder, bool top) {
    SCOPED_TRACE(utf8(folder));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(long_form(folder).c_str(), SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                    &owner, nullptr, &dacl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    if (top) {
        EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "the DACL inherits from the folder above";
        EXPECT_TRUE(detail::is_well_known(owner, WinBuiltinAdministratorsSid))
            << "not owned by Administrators";
    }
    ASSERT_NE(dacl, nullptr) << "no DACL: everyone may do anything";
    for (PSID sid : detail::accounts_that_may_change(dacl))
        EXPECT_TRUE(detail::is_well_known(sid, WinLocalSystemSid) ||
                    detail::is_well_known(sid, WinBuiltinAdministratorsSid))
            << utf8(detail::account_text(sid)) << " may write";
    LocalFree(descriptor);
}

// Made by the run, or there already: left by an earlier run, or made by an
// administrator by hand, with the DACL it inherits from C:\ (where
// Authenticated Users may change what is made inside).
TEST_F(Runner, MakesItsFoldersOutsideTheBundleWithAProtectedDacl) {
    if (!platform_security().kept) GTEST_SKIP() << keeps_no_security();
    for (bool there : {false, true}) {
        SCOPED_TRACE(there ? "there already" : "made by the run");
        if (there) {
            ASSERT_TRUE(CreateDirectoryW(scenarios_root, nullptr)) << GetLastError();
            set_security(scenarios_root, L"O:BA");
            make_marker(scenarios_root);
        }
        std::wstring below = scenario_folder(L"protected");
        expect_protected(scenarios_root, true);
        expect_protected(below, false);
        remove_scenarios_root();
    }
}

// Whether a handle opened with FILE_FLAG_OPEN_REPARSE_POINT is the link
// itself, which is what lets a link be removed without what it points to
// (Wine opens what a host link points to instead).
bool platform_opens_links_themselves(const std::wstring& link) {
    detail::OwnedHandle handle(CreateFileW(
        long_form(link).c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    return handle.get() != INVALID_HANDLE_VALUE &&
           GetFileInformationByHandle(handle.get(), &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// A link in the tests' own folder to a folder outside it (a junction needs no
// privilege on Windows): removing the tests' folder at the start and at the
// end removes at most the link, never what it points to.
TEST_F(Runner, RemovingItsFolderNeverFollowsALinkOutOfIt) {
    std::wstring outside = bundle_file(L"runner outside");
    std::wstring kept = outside + L"\\kept.txt";
    std::wstring link = std::wstring(scenarios_root) + L"\\link";
    fresh_folder(outside);
    write_file(kept, "outside the tests' folder");

    for (const wchar_t* step : {L"start-clean", L"finish"}) {
        SCOPED_TRACE(utf8(step));
        make_scenarios_root();
        if (!exists(link) && !make_folder_link(link, outside)) {
            remove_tree(outside);
            GTEST_SKIP() << "this platform made no link to a folder";
        }
        bool removable = platform_opens_links_themselves(link);

        ChildResult run = run_helper(step);

        EXPECT_TRUE(exists(kept)) << "a file the link points to was removed";
        EXPECT_TRUE(exists(outside)) << "the folder the link points to was removed";
        if (removable) {
            EXPECT_FALSE(exists(scenarios_root)) << run.out;
        } else {
            EXPECT_TRUE(exists(link));
        }
        DWORD expected = std::wstring(step) == L"finish" ? 1u : (removable ? 0u : 3u);
        EXPECT_EQ(run.exit_code, expected) << run.out;
    }
    remove_folder_link(link);
    remove_scenarios_root();
    remove_tree(outside);
}

// Whether cmd gives a script in `folder` that folder as %~dp0.
bool cmd_gives_own_folder(const std::wstring& folder) {
    std::wstring script = folder + L"\\own-folder.cmd";
    write_file(script, "@echo %~dp0\r\n");
    ChildResult run = run_in_bundle(system_program(L"cmd.exe"),
                                    L"/s /c \"\"" + script + L"\"\"", L"C:\\");
    DeleteFileW(long_form(script).c_str());
    return run.out == utf8(folder) + "\\\r\n";
}

// A copy of the runner and its helper in a folder of its own, with the
// test programs `programs` (copies of the stand-in by those names) listed,
// and `unlisted` (a name it lists but the copy lacks).
std::wstring runner_copy(const wchar_t* name, const std::vector<std::wstring>& programs,
                         const std::wstring& unlisted = {}) {
    std::wstring copy = bundle_file(L"work\\") + name;
    fresh_folder(copy + L"\\tests");
    copy_file(bundle_file(L"run-tests.cmd"), copy + L"\\run-tests.cmd");
    copy_file(bundle_file(marker_name), copy + L"\\" + marker_name);
    copy_file(bundle_file(L"tests\\bundle-helper.exe"), copy + L"\\tests\\bundle-helper.exe");
    std::string list;
    for (const std::wstring& program : programs) {
        copy_file(bundle_file(L"tests\\planted\\runner_stand_in.exe"),
                  copy + L"\\tests\\" + program + L".exe");
        list += utf8(program) + "\r\n";
    }
    if (!unlisted.empty()) list += utf8(unlisted) + "\r\n";
    write_file(copy + L"\\tests\\test-programs.txt", list);
    return copy;
}

// Runs the copy's run-tests.cmd by its full path from another folder, as it
// runs the bundle it lies in; only where cmd cannot give a script its own
// folder (Wine's mangles a percent sign in it) from the copy's folder.
ChildResult run_copy(const std::wstring& copy, ChildOptions options = {}) {
    std::wstring folder = cmd_gives_own_folder(copy) ? L"C:\\" : copy;
    return run_in_bundle(system_program(L"cmd.exe"), L"/s /c \"\"" + copy + L"\\run-tests.cmd\"\"",
                         folder, std::move(options));
}

// The wiring, end to end: run-tests.cmd and its runner run stand-ins that
// pass, fail, crash before their report, exit with 3 after one passed test,
// hang (ended at the time limit with the program it started), report no test,
// are listed but missing, and leave a service and a folder behind; GoogleTest's
// variables that select or repeat tests are cleared. Then a runner that
// crashes: no closing line, and the run fails.
TEST_F(Runner, CountsEveryWayAProgramCanFail) {
    std::wstring copy = runner_copy(L"runner self-test",
                                    {L"passes_test", L"fails_test", L"crashes_test", L"exits_3_test",
                                     L"hangs_test", L"no_tests_test", L"leaves_service_test",
                                     L"leaves_folder_test"},
                                    L"missing_test");
    ChildOptions options;
    // Long enough for every stand-in on a loaded machine, so that only the
    // hanging one meets it.
    options.environment = {{L"VEK_TEST_TIME_LIMIT", L"30"}};
    for (const wchar_t* variable : {L"GTEST_FILTER", L"GTEST_REPEAT", L"GTEST_TOTAL_SHARDS"})
        options.environment.push_back({variable, L"1"});

    // A whole passing report an earlier run left must not count for the
    // program that crashes before writing its own.
    make_directories(copy + L"\\logs");
    write_file(copy + L"\\logs\\crashes_test.xml",
               "<testsuites><testsuite name=\"Old\"><testcase name=\"Run\" status=\"run\" "
               "result=\"completed\" /></testsuite></testsuites>\n");

    ChildResult run = run_copy(copy, options);

    EXPECT_EQ(run.exit_code, 1u) << run.out << run.err;
    for (const char* line :
         {"PASS  passes_test: 1 passed, 0 skipped", "FAIL  fails_test: 0 passed, 1 failed",
          "FAIL  crashes_test: ended with exit code 0xC0000005 before reporting its tests",
          "FAIL  exits_3_test: 1 passed, 1 failed, 0 skipped (exit code 3;",
          "FAIL  hangs_test: ended at the time limit", "PASS  leaves_service_test: 1 passed",
          "FAIL  no_tests_test: 0 passed, 1 failed", "FAIL  missing_test: tests\\missing_test.exe is missing",
          "LEFT BEHIND: the service vek-scm-client-test", "LEFT BEHIND: the folder C:\\vek-scenarios",
          "\r\n4 passed, 8 failed\r\n"})
        EXPECT_THAT(run.out, HasSubstr(line));
    ScHandle manager = open_manager();
    ScHandle left(OpenServiceW(manager.get(), L"vek-scm-client-test", DELETE));
    EXPECT_FALSE(left) << "the runner did not remove the service it reported";
    if (left) DeleteService(left.get());
    left = ScHandle();
    EXPECT_FALSE(exists(scenarios_root)) << "the runner did not remove the folder it reported";
    std::wstring held = copy + L"\\tests\\hangs_test child.lock";
    EXPECT_TRUE(exists(held)) << "the program ended at the time limit started nothing";
    EXPECT_TRUE(DeleteFileW(long_form(held).c_str()))
        << "what the program ended at the time limit started still runs: " << GetLastError();

    copy_file(bundle_file(L"tests\\planted\\runner_stand_in.exe"), copy + L"\\tests\\bundle-helper.exe");
    run = run_copy(copy);
    EXPECT_EQ(run.exit_code, 1u) << run.out << run.err;
    EXPECT_THAT(run.out, HasSubstr("tests\\bundle-helper.exe ended with exit code -1073741819"));
    EXPECT_THAT(run.out, Not(HasSubstr(" passed, ")));
    remove_tree(copy);
}

// The bundle's programs run as an administrator and as LocalSystem: the run
// warns when others than administrators can change its folder, and only
// then.
TEST_F(Runner, WarnsWhenOthersThanAdministratorsCanChangeTheBundle) {
    if (!platform_security().kept) GTEST_SKIP() << keeps_no_security();
    std::wstring copy = runner_copy(L"runner warning", {});
    BYTE users[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof users;
    CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &size);
    std::string warning = "WARNING: " + utf8(detail::account_text(users));
    const std::wstring admins = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    for (auto [security, warned] : {std::pair{L"O:BA" + admins + L"(A;OICI;0x1200a9;;;BU)", false},
                                    std::pair{L"O:BA" + admins + L"(A;OICI;0x1301bf;;;BU)", true},
                                    std::pair{L"O:BU" + admins, true}}) {
        SCOPED_TRACE(utf8(security));
        set_security(copy, security);
        ChildResult run = run_copy(copy);
        EXPECT_EQ(run.out.find(warning) != std::string::npos, warned) << run.out;
    }
    remove_tree(copy);
}

}  // namespace
}  // namespace vek::windows_test
