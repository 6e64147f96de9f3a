#include "registration.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vek::custom_action {
namespace {

using ::testing::ElementsAreArray;

// A host that answers as told and records what the action logged and
// reported.
struct FakeHost final : ActionHost {
    std::optional<std::uint32_t> start_type;
    std::vector<std::string> output;  // the pieces the program writes
    ProgramRun result;
    int runs = 0;
    std::vector<std::u16string> logged;
    std::optional<std::u16string> failure;

    std::optional<std::uint32_t> registered_start_type() override { return start_type; }
    ProgramRun run(std::u16string_view, const std::function<void(std::string_view)>& out) override {
        ++runs;
        for (const std::string& piece : output) out(piece);
        return result;
    }
    void log(std::u16string_view line) override { logged.emplace_back(line); }
    void report_failure(std::u16string_view code, std::u16string_view report) override {
        failure = std::u16string(code) + u" | " + std::u16string(report);
    }
};

constexpr std::u16string_view program = u"C:\\Program Files\\Vek System Service\\vek-system-service-setup.exe";

TEST(RegistrationAction, RunsTheProgramUnlessTheServiceIsDisabled) {
    struct Row {
        const char* name;
        std::optional<std::uint32_t> start_type;
        std::vector<std::string> output;
        ProgramRun result;
        bool succeeds;
        std::vector<std::u16string> logged;
        std::optional<std::u16string> failure;
    } rows[] = {
        {"a first install: each line logged as written, in pieces or not",
         std::nullopt, {"Installing service...\r\nCreat", "ing service...\nService installed successfully.\n"},
         {0u, {}}, true,
         {u"vek-system-service-setup.exe: Installing service...",
          u"vek-system-service-setup.exe: Creating service...",
          u"vek-system-service-setup.exe: Service installed successfully."}},
        {"disabled: not run, and the log says why", service_start_disabled, {"never"}, {0u, {}}, true,
         {u"vek-system-service is disabled: its program is in place, but it stays disabled and is not "
          u"started"}},
        {"demand start: run", 0x3, {"Service exists, starting...\n"}, {0u, {}}, true,
         {u"vek-system-service-setup.exe: Service exists, starting..."}},
        {"a failure: its report from the Error line on, the last line without its end",
         0x2, {"Installing service...\nError: cannot start\n\nCaused by:\n    denied (os error 5)"},
         {1u, {}}, false,
         {u"vek-system-service-setup.exe: Installing service...",
          u"vek-system-service-setup.exe: Error: cannot start", u"vek-system-service-setup.exe: ",
          u"vek-system-service-setup.exe: Caused by:",
          u"vek-system-service-setup.exe:     denied (os error 5)"},
         u"exit code 1 | Error: cannot start\n\nCaused by:\n    denied (os error 5)"},
        {"a crash without a report", std::nullopt, {}, {0xC0000409u, {}}, false, {},
         u"exit code 0xC0000409 | it wrote no report"},
        {"a program that could not be run", std::nullopt, {}, {std::nullopt, u"CreateProcessW failed (os error 2)"},
         false, {}, u"not run to its end | CreateProcessW failed (os error 2)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeHost host;
        host.start_type = row.start_type;
        host.output = row.output;
        host.result = row.result;
        EXPECT_EQ(register_service(host, program), row.succeeds);
        EXPECT_EQ(host.runs, row.start_type == service_start_disabled ? 0 : 1);
        EXPECT_THAT(host.logged, ElementsAreArray(row.logged));
        EXPECT_EQ(host.failure, row.failure);
    }
}

TEST(RegistrationAction, KeepsRecordTextAsWritten) {
    EXPECT_EQ(literal_record_text(u"C:\\[x]\\{ProductCode} [1] a"),
              u"C:\\[\\[]x[\\]]\\[\\{]ProductCode[\\}] [\\[]1[\\]] a");
}

TEST(RegistrationAction, CutsAnUnendingLineWithoutSplittingACodePoint) {
    OutputLines lines;
    // "é" is two bytes: the first cut falls between them, before it.
    const std::string text = std::string(OutputLines::max_line_bytes - 1, 'a') + "\xC3\xA9" + "b";
    std::vector<std::u16string> got = lines.add(text);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], std::u16string(OutputLines::max_line_bytes - 1, u'a'));
    EXPECT_EQ(lines.finish(), std::optional<std::u16string>(u"\u00E9b"));
    EXPECT_EQ(lines.finish(), std::nullopt);
}

}  // namespace
}  // namespace vek::custom_action
