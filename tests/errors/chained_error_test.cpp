// The failure report's text: causes, numbering, indentation, the backtrace
// section and its switch.
#include "errors/chained_error.h"
#include "scm/scm_error.h"
#include "support/fake_platform_test.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace vek {

// Outside the anonymous namespace, so that the backtrace can name it.
[[gnu::noinline]] ChainedError make_error_in_named_function() {
    return ChainedError::from_message(StaticText("failed here"));
}

namespace {

// An error whose message is written in the given pieces and which owns a
// chain of causes.
class PiecesError final : public ReportableError {
public:
    PiecesError(std::vector<std::string> pieces, std::unique_ptr<PiecesError> cause = nullptr)
        : pieces_(std::move(pieces)), cause_(std::move(cause)) {}
    PiecesError(PiecesError&&) = default;

    void write_message(TextSink& out) const override {
        for (const std::string& piece : pieces_) out.write(piece);
    }
    std::string diagnostic_text() const override { return "Pieces"; }
    const ReportableError* cause() const noexcept override { return cause_.get(); }

private:
    std::vector<std::string> pieces_;
    std::unique_ptr<PiecesError> cause_;
};

std::unique_ptr<PiecesError> error(std::string text, std::unique_ptr<PiecesError> cause = nullptr) {
    return std::make_unique<PiecesError>(std::vector<std::string>{std::move(text)},
                                         std::move(cause));
}

std::string report(std::unique_ptr<PiecesError> top) {
    return ChainedError::from_error(std::move(*top)).report_text();
}

struct ReportRow {
    const char* name;
    std::string top;
    std::vector<std::string> causes;  // in chain order
    std::string expected;
};

class ReportText : public ::testing::TestWithParam<ReportRow> {};

TEST_P(ReportText, LaysOutTheChain) {
    const ReportRow& row = GetParam();
    std::unique_ptr<PiecesError> chain;
    for (auto it = row.causes.rbegin(); it != row.causes.rend(); ++it)
        chain = error(*it, std::move(chain));
    EXPECT_EQ(report(error(row.top, std::move(chain))), row.expected);
}

void PrintTo(const ReportRow& row, std::ostream* os) { *os << row.name; }

INSTANTIATE_TEST_SUITE_P(
    Rows, ReportText,
    ::testing::Values(
        ReportRow{"NoCause", "top", {}, "top"},
        ReportRow{"TopWithLineFeedIsNotIndented", "top\nsecond", {}, "top\nsecond"},
        ReportRow{"OneCauseUnnumbered", "top", {"cause"}, "top\n\nCaused by:\n    cause"},
        ReportRow{"TwoCausesNumbered", "T", {"A", "B"},
                  "T\n\nCaused by:\n    0: A\n    1: B"},
        ReportRow{"UnnumberedContinuationLines", "T", {"one\ntwo\n\nfour"},
                  "T\n\nCaused by:\n    one\n    two\n    \n    four"},
        ReportRow{"NumberedContinuationLines", "T", {"one\ntwo", "three"},
                  "T\n\nCaused by:\n    0: one\n       two\n    1: three"},
        ReportRow{"CauseEndingInLineFeedLeavesAnIndentedLine", "T", {"one\n", "two"},
                  "T\n\nCaused by:\n    0: one\n       \n    1: two"},
        ReportRow{"UnnumberedCauseEndingInLineFeed", "T", {"one\n"},
                  "T\n\nCaused by:\n    one\n    "},
        ReportRow{"CarriageReturnIsOrdinary", "T", {"a\r\nb"}, "T\n\nCaused by:\n    a\r\n    b"},
        ReportRow{"EmptyCause", "T", {""}, "T\n\nCaused by:\n    "},
        ReportRow{"TwelveCauses", "T", {"c", "c", "c", "c", "c", "c", "c", "c", "c", "c", "c", "c"},
                  "T\n\nCaused by:\n    0: c\n    1: c\n    2: c\n    3: c\n    4: c\n    5: c\n"
                  "    6: c\n    7: c\n    8: c\n    9: c\n   10: c\n   11: c"}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

TEST(ReportTextTest, PiecesGiveTheSameTextWhereverTheyAreCut) {
    const std::string message = "first\nsecond\n\nfourth\n";
    const std::string whole = report(error("T", error(message, error("B"))));
    for (std::size_t a = 0; a <= message.size(); ++a) {
        for (std::size_t b = a; b <= message.size(); ++b) {
            auto cut = std::make_unique<PiecesError>(
                std::vector<std::string>{message.substr(0, a), message.substr(a, b - a),
                                         message.substr(b)},
                error("B"));
            EXPECT_EQ(report(error("T", std::move(cut))), whole) << "cut at " << a << ", " << b;
        }
    }
}

TEST(IndentingWriterTest, AWideNumberWidensTheFieldAndKeepsSevenSpaces) {
    std::string text;
    StringSink sink(text);
    IndentingWriter writer(sink, 1234567);
    writer.write("one\ntwo");
    EXPECT_EQ(text, "1234567: one\n       two");
}

TEST(IndentingWriterTest, NumberZeroFillsFiveColumns) {
    std::string text;
    StringSink sink(text);
    IndentingWriter writer(sink, 0);
    writer.write("x");
    EXPECT_EQ(text, "    0: x");
}

class ChainedErrorTest : public testing::FakePlatformTest {};

TEST_F(ChainedErrorTest, WinapiErrorReportsThePlatformTextUnderCausedBy) {
    ChainedError e = ChainedError::from_error(ScmError(ScmError::Winapi{OsError(5)}));
    EXPECT_EQ(e.message(), "IO error in winapi call");
    EXPECT_EQ(e.report_text(), "IO error in winapi call\n\nCaused by:\n    Access is denied. (os error 5)");
    ASSERT_EQ(e.chain().size(), 2u);
    EXPECT_EQ(e.chain()[1]->message(), "Access is denied. (os error 5)");
}

TEST_F(ChainedErrorTest, DiagnosticFormIsTheTopErrorsAlone) {
    ChainedError e = ChainedError::from_error(ScmError(ScmError::ArgumentHasNulByte{"service name"}));
    EXPECT_EQ(e.diagnostic_text(), "ArgumentHasNulByte(\"service name\")");
    EXPECT_EQ(e.report_text(), "service name contains a nul byte");
}

TEST_F(ChainedErrorTest, MessagesFixedAndFormatted) {
    EXPECT_EQ(ChainedError::from_message(StaticText("fixed")).report_text(), "fixed");
    std::string formatted = "Bin path not exists: \"C:\\\\x\"";
    EXPECT_EQ(ChainedError::from_message(formatted).report_text(), formatted);
    EXPECT_EQ(ChainedError::from_message(formatted).chain().size(), 1u);
}

TEST_F(ChainedErrorTest, RunResultCarriesTheErrorOrNothing) {
    EXPECT_TRUE(RunResult::success().succeeded());
    RunResult failed = ChainedError::from_message(StaticText("no"));
    ASSERT_FALSE(failed.succeeded());
    EXPECT_EQ(std::move(failed).error().message(), "no");
}

// The switch is decided once per process, so each case runs in a fresh
// process of its own (the "threadsafe" death-test style re-executes the test
// binary). The child exits with 0 when the report is as expected.
struct SwitchCase {
    const char* value;  // nullptr: not set
    bool expect_trace;
};

[[noreturn]] void check_switch_in_child(SwitchCase c) {
    if (c.value == nullptr)
        ::unsetenv(backtrace_switch_name);
    else
        ::setenv(backtrace_switch_name, c.value, 1);
    std::string text = make_error_in_named_function().report_text();
    bool has_trace = text.find("\n\nStack backtrace:\n") != std::string::npos;
    bool ok = has_trace == c.expect_trace;
    if (c.expect_trace) {
        ok = ok && text.starts_with("failed here\n\nStack backtrace:\n") &&
             text.find("make_error_in_named_function") != std::string::npos &&
             text.back() != '\n' && text.back() != ' ';
        // Changing the environment later changes nothing.
        ::setenv(backtrace_switch_name, "0", 1);
        ok = ok && make_error_in_named_function().backtrace().state() ==
                       Backtrace::State::captured;
    } else {
        ok = ok && text == "failed here";
        ::setenv(backtrace_switch_name, "1", 1);
        ok = ok && make_error_in_named_function().backtrace().state() ==
                       Backtrace::State::disabled;
    }
    std::_Exit(ok ? 0 : 1);
}

TEST(BacktraceSwitchTest, DecidedOncePerProcessFromTheEnvironment) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const SwitchCase cases[] = {{nullptr, false}, {"0", false}, {"", true}, {"1", true},
                                {"full", true}};
    for (const SwitchCase& c : cases) {
        EXPECT_EXIT(check_switch_in_child(c), ::testing::ExitedWithCode(0), "")
            << "switch " << (c.value == nullptr ? "absent" : c.value);
    }
}

TEST(BacktraceSwitchTest, ValueRule) {
    EXPECT_FALSE(backtrace_switch_enabled(std::nullopt));
    EXPECT_FALSE(backtrace_switch_enabled("0"));
    EXPECT_TRUE(backtrace_switch_enabled(""));
    EXPECT_TRUE(backtrace_switch_enabled("00"));
    EXPECT_TRUE(backtrace_switch_enabled("1"));
}

}  // namespace
}  // namespace vek
