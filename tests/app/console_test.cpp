// The standard streams: console or redirected, missing or failing, and what
// the entry does with each.
#include "app/console.h"
#include "app/entry.h"
#include "support/fake_platform_test.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <unistd.h>

namespace vek {
namespace {

namespace fake = platform::fake;
using platform::std_error_handle;
using platform::std_output_handle;

class ConsoleTest : public testing::FakePlatformTest {};

const std::string text = "Caf\xC3\xA9 \xF0\x9F\x98\x80 line\n";  // é and a non-BMP character

TEST_F(ConsoleTest, RedirectedStreamGetsTheUtf8BytesUnchanged) {
    StreamWrite w = write_std_stream(StandardStream::error, text);
    EXPECT_EQ(w.outcome, StreamWrite::Outcome::written);
    EXPECT_EQ(fake::std_stream(std_error_handle).bytes, text);
}

TEST_F(ConsoleTest, ConsoleGetsUtf16) {
    fake::std_stream(std_output_handle).console = true;
    StreamWrite w = write_std_stream(StandardStream::output, text);
    EXPECT_EQ(w.outcome, StreamWrite::Outcome::written);
    EXPECT_EQ(fake::std_stream(std_output_handle).console_text, u"Caf\u00e9 \U0001F600 line\n");
    EXPECT_EQ(fake::std_stream(std_output_handle).bytes, "");
}

// Streams that take at most a few units per write. A console write that ends
// between the halves of U+1F600 shows that half as U+FFFD; the next write
// sends the pair whole. A write that takes the high half alone cannot be
// helped (the console already shows it) and must not be repeated for ever:
// the fake fails a write that begins where a partial one began.
struct PartialWriteRow {
    platform::Dword chunk;
    std::u16string shown;
};
void PrintTo(const PartialWriteRow& row, std::ostream* os) { *os << "chunk " << row.chunk; }

class PartialWrites : public ConsoleTest, public ::testing::WithParamInterface<PartialWriteRow> {};

TEST_P(PartialWrites, AreContinuedUntilAllIsWritten) {
    fake::std_stream(std_output_handle).write_chunk = GetParam().chunk;
    fake::std_stream(std_error_handle).console = true;
    fake::std_stream(std_error_handle).write_chunk = GetParam().chunk;
    EXPECT_EQ(write_std_stream(StandardStream::output, text).outcome, StreamWrite::Outcome::written);
    EXPECT_EQ(write_std_stream(StandardStream::error, text).outcome, StreamWrite::Outcome::written);
    EXPECT_EQ(fake::std_stream(std_output_handle).bytes, text);
    EXPECT_EQ(fake::std_stream(std_error_handle).console_text, GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    ChunkSizes, PartialWrites,
    ::testing::Values(PartialWriteRow{1, u"Caf\u00e9 \uFFFD\uFFFD line\n"},
                      PartialWriteRow{2, u"Caf\u00e9 \uFFFD\U0001F600 line\n"},
                      PartialWriteRow{3, u"Caf\u00e9 \uFFFD\U0001F600 line\n"},
                      PartialWriteRow{4, u"Caf\u00e9 \U0001F600 line\n"}),
    [](const ::testing::TestParamInfo<PartialWriteRow>& row) {
        return "Chunk" + std::to_string(row.param.chunk);
    });

TEST_F(ConsoleTest, LongConsoleTextIsNeverCutInsideASurrogatePair) {
    fake::std_stream(std_error_handle).console = true;
    // U+1F600 takes units 16383 and 16384: the first piece would end between
    // its halves.
    std::string long_text = std::string(16383, 'x') + "\xF0\x9F\x98\x80y";
    EXPECT_EQ(write_std_stream(StandardStream::error, long_text).outcome, StreamWrite::Outcome::written);
    EXPECT_EQ(fake::std_stream(std_error_handle).write_sizes,
              (std::vector<platform::Dword>{16383, 3}));
    EXPECT_EQ(fake::std_stream(std_error_handle).console_text,
              std::u16string(16383, u'x') + u"\U0001F600y");
}

TEST_F(ConsoleTest, MissingStreamIsNotAttached) {
    fake::std_stream(std_output_handle).attached = false;
    EXPECT_EQ(write_std_stream(StandardStream::output, text).outcome, StreamWrite::Outcome::not_attached);
}

TEST_F(ConsoleTest, FailingStreamGivesTheCode) {
    fake::std_stream(std_error_handle).write_failure = platform::error_no_data;
    StreamWrite w = write_std_stream(StandardStream::error, text);
    EXPECT_EQ(w.outcome, StreamWrite::Outcome::failed);
    EXPECT_EQ(w.error, platform::error_no_data);
}

// A sequence whose first operation fails, so that the entry has a report to
// write; nothing else is called.
class RefusedConnection final : public InstallOperations {
public:
    std::expected<ScmConnection, ScmError> connect(std::uint32_t) override {
        return std::unexpected(ScmError(ScmError::Winapi{OsError(5)}));
    }
    std::expected<std::u16string, ChainedError> locate_service_executable(std::string_view) override {
        ADD_FAILURE();
        return std::unexpected(ChainedError::from_message(StaticText("unexpected")));
    }
    std::expected<ServiceHandle, ScmError> open_service(const ScmConnection&, std::string_view,
                                                        std::uint32_t) override {
        return std::unexpected(ScmError(ScmError::LaunchArgumentsNotSupported{}));
    }
    std::expected<ServiceStatusReport, ScmError> query_status(const ServiceHandle&) override {
        return std::unexpected(ScmError(ScmError::LaunchArgumentsNotSupported{}));
    }
    std::expected<void, ScmError> start(const ServiceHandle&,
                                        std::span<const std::string_view>) override {
        return {};
    }
    std::expected<ServiceHandle, ScmError> create_service(const ScmConnection&,
                                                          const ServiceDefinition&,
                                                          std::uint32_t) override {
        return std::unexpected(ScmError(ScmError::LaunchArgumentsNotSupported{}));
    }
    std::expected<void, ScmError> set_description(const ServiceHandle&, std::string_view) override {
        return {};
    }
};

TEST_F(ConsoleTest, ReportIsWrittenToStandardErrorWithExitCodeOne) {
    RefusedConnection operations;
    StdoutSteps output;
    EXPECT_EQ(run_process(operations, output), 1);
    EXPECT_EQ(fake::std_stream(std_error_handle).bytes,
              "Error: IO error in winapi call\n\nCaused by:\n    Access is denied. (os error 5)\n");
    EXPECT_EQ(fake::std_stream(std_output_handle).bytes, "");
}

// Resolving the backtrace's symbols reads the PDB, and a damaged one can end
// the process inside the symbol library: what failed is written before that.
TEST_F(ConsoleTest, ChainIsWrittenBeforeTheBacktraceLooksUpASymbol) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto fail_in_symbol_lookup = [] {
        ::setenv(backtrace_switch_name, "1", 1);
        fake::std_stream(std_error_handle).mirror_fd = STDERR_FILENO;
        fake::set_symbol_lookup_hook([] { std::_Exit(7); });
        RefusedConnection operations;
        StdoutSteps output;
        (void)run_process(operations, output);
    };
    EXPECT_EXIT(fail_in_symbol_lookup(), ::testing::ExitedWithCode(7),
                "^Error: IO error in winapi call\n\nCaused by:\n    Access is denied\\. "
                "\\(os error 5\\)\n$");
}

TEST_F(ConsoleTest, ReportOnAConsoleIsShownAsText) {
    fake::std_stream(std_error_handle).console = true;
    RefusedConnection operations;
    StdoutSteps output;
    EXPECT_EQ(run_process(operations, output), 1);
    EXPECT_EQ(fake::std_stream(std_error_handle).console_text,
              u"Error: IO error in winapi call\n\nCaused by:\n    Access is denied. (os error 5)\n");
}

TEST_F(ConsoleTest, ClosedOrMissingStandardErrorStillExitsWithOne) {
    RefusedConnection operations;
    StdoutSteps output;
    fake::std_stream(std_error_handle).write_failure = platform::error_no_data;
    EXPECT_EQ(run_process(operations, output), 1);
    fake::std_stream(std_error_handle).write_failure.reset();
    fake::std_stream(std_error_handle).attached = false;
    EXPECT_EQ(run_process(operations, output), 1);
}

TEST_F(ConsoleTest, StepLinesWithoutStandardOutputAreDropped) {
    fake::std_stream(std_output_handle).attached = false;
    StdoutSteps output;
    output.write_line("Installing service...\n");  // returns: the run goes on
    EXPECT_EQ(fake::std_stream(std_error_handle).bytes, "");
}

TEST_F(ConsoleTest, FailedStepLineIsAnInternalFaultWithExitCodeTwo) {
    auto write_to_closed_stdout = [] {
        fake::std_stream(std_output_handle).write_failure = platform::error_no_data;
        fake::std_stream(std_error_handle).mirror_fd = STDERR_FILENO;
        StdoutSteps output;
        output.write_line("Installing service...\n");
    };
    EXPECT_EXIT(write_to_closed_stdout(), ::testing::ExitedWithCode(2),
                "^failed printing to stdout: The pipe is being closed\\. \\(os error 232\\)\n$");
}

}  // namespace
}  // namespace vek
