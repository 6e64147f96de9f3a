// OsError: the platform's text for a code (the lookup, the NTDLL rule, the two
// fallbacks, the trailing white space) and the " (os error N)" suffix.
#include "scm/os_error.h"

#include "platform/fake/fake_platform.h"
#include "support/allocation_hooks.h"
#include "scm/utf.h"
#include "support/fake_platform_test.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vek {
namespace {

namespace fake = platform::fake;
using Numbers = std::vector<std::uint64_t>;

class OsErrorText : public vek::testing::FakePlatformTest {};

TEST_F(OsErrorText, IsThePlatformTextWithoutItsLineEndAndTheCode) {
    EXPECT_EQ(OsError(5).message(), "Access is denied. (os error 5)");
    auto lookups = fake::calls_of("FormatMessageW");
    ASSERT_EQ(lookups.size(), 1u);
    // Flags, source, identifier, language, size, arguments.
    EXPECT_EQ(lookups[0].numbers, (Numbers{0x1200, 0, 5, 0, 2048, 0}));
    EXPECT_TRUE(fake::calls_of("GetModuleHandleW").empty());
}

TEST_F(OsErrorText, IsLookedUpOnlyWhenTheMessageIsProduced) {
    OsError error(5);
    OsError copy = error;
    EXPECT_TRUE(fake::calls_of("FormatMessageW").empty());
    (void)copy.message();
    (void)copy.message();
    EXPECT_EQ(fake::calls_of("FormatMessageW").size(), 2u);
}

TEST_F(OsErrorText, UnknownCodeFallsBackWithTheLookupsOwnError) {
    EXPECT_EQ(OsError(4321).message(),
              "OS Error 4321 (FormatMessageW() returned error 317) (os error 4321)");
}

TEST_F(OsErrorText, FailedLookupFallsBackWithItsCode) {
    fake::fail_next("FormatMessageW", 8);
    EXPECT_EQ(OsError(5).message(), "OS Error 5 (FormatMessageW() returned error 8) (os error 5)");
}

TEST_F(OsErrorText, InvalidUtf16FallsBack) {
    for (std::u16string text : {std::u16string(u"bad \xD800 text\r\n"),
                                std::u16string(u"bad \xDC00 text"), std::u16string(u"end \xDBFF")}) {
        fake::set_error_text(77, text);
        EXPECT_EQ(OsError(77).message(),
                  "OS Error 77 (FormatMessageW() returned invalid UTF-16) (os error 77)");
    }
}

TEST_F(OsErrorText, CutsAllTrailingWhiteSpaceOnly) {
    fake::set_error_text(78, u"Two\r\nlines. \t\v\f\r\n");
    EXPECT_EQ(OsError(78).message(), "Two\r\nlines. (os error 78)");
    fake::set_error_text(79, u"Wide\u3000\u00A0\u2028 \r\n");
    EXPECT_EQ(OsError(79).message(), "Wide (os error 79)");
    fake::set_error_text(80, u" \r\n");
    EXPECT_EQ(OsError(80).message(), " (os error 80)");
}

template <class Char>
std::basic_string<Char> repeated(const Char* piece, int times) {
    std::basic_string<Char> text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

struct TextRow {
    const char* name;
    std::u16string platform_text;
    std::string text;
};
void PrintTo(const TextRow& row, std::ostream* os) { *os << row.name; }

class OsErrorTextRows : public OsErrorText, public ::testing::WithParamInterface<TextRow> {};

// Each text is converted into one allocation, whatever its characters' widths.
TEST_P(OsErrorTextRows, IsConvertedToUtf8InOneAllocation) {
    fake::set_error_text(81, GetParam().platform_text);
    EXPECT_EQ(platform_error_text(81), GetParam().text);

    vek::testing::AllocationCounter counter;
    std::optional<std::string> converted = utf16_to_utf8(GetParam().platform_text);
    EXPECT_EQ(counter.count(), 1u);
    EXPECT_EQ(converted, GetParam().text + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Table, OsErrorTextRows,
    ::testing::Values(
        TextRow{"German", u"Zugriff verweigert \u00E4 \xD83D\xDE00.\r\n",
                "Zugriff verweigert \xC3\xA4 \xF0\x9F\x98\x80."},
        TextRow{"Japanese", u"\u30A2\u30AF\u30BB\u30B9\u304C\u62D2\u5426\u3055\u308C\u307E\u3057\u305F\u3002\r\n",
                "\xE3\x82\xA2\xE3\x82\xAF\xE3\x82\xBB\xE3\x82\xB9\xE3\x81\x8C\xE6\x8B\x92"
                "\xE5\x90\xA6\xE3\x81\x95\xE3\x82\x8C\xE3\x81\xBE\xE3\x81\x97\xE3\x81\x9F"
                "\xE3\x80\x82"},
        // The lowest and the highest pair: both surrogate bounds.
        TextRow{"FirstAndLastPair", u"Pairs \xD800\xDC00 and \xDBFF\xDFFF here\r\n",
                "Pairs \xF0\x90\x80\x80 and \xF4\x8F\xBF\xBF here"},
        // Long enough that a four-byte character counted short would outgrow
        // the string's first capacity.
        TextRow{"ManyFourByteCharacters", repeated(u"\xD83D\xDE00", 100) + u"\r\n",
                repeated("\xF0\x9F\x98\x80", 100)}),
    [](const auto& row_info) { return std::string(row_info.param.name); });

TEST_F(OsErrorText, TakesTheLongestTextTheBufferHolds) {
    fake::set_error_text(82, std::u16string(2047, u'x'));
    EXPECT_EQ(OsError(82).message(), std::string(2047, 'x') + " (os error 82)");
}

TEST_F(OsErrorText, StatusCodeIsLookedUpInNtdllWithTheBitCleared) {
    auto code = static_cast<std::int32_t>(0xD0000022u);
    EXPECT_EQ(OsError(code).message(),
              "{Access Denied}\r\nA process has requested access to an object, but has not been "
              "granted those access rights. (os error -805306334)");
    auto modules = fake::calls_of("GetModuleHandleW");
    ASSERT_EQ(modules.size(), 1u);
    EXPECT_EQ(modules[0].texts.at(0), u"NTDLL.DLL");
    auto lookups = fake::calls_of("FormatMessageW");
    ASSERT_EQ(lookups.size(), 1u);
    EXPECT_EQ(lookups[0].numbers,
              (Numbers{0x1A00, fake::number_of(fake::ntdll_module()), 0xC0000022, 0, 2048, 0}));
}

TEST_F(OsErrorText, StatusCodeWithoutNtdllIsLookedUpAsItIs) {
    fake::set_ntdll_loaded(false);
    auto code = static_cast<std::int32_t>(0xD0000022u);
    EXPECT_EQ(OsError(code).message(),
              "OS Error -805306334 (FormatMessageW() returned error 317) (os error -805306334)");
    auto lookups = fake::calls_of("FormatMessageW");
    ASSERT_EQ(lookups.size(), 1u);
    EXPECT_EQ(lookups[0].numbers, (Numbers{0x1200, 0, 0xD0000022, 0, 2048, 0}));
}

// FORMAT_MESSAGE_FROM_SYSTEM beside FROM_HMODULE: an identifier that NTDLL's
// table lacks is looked up in the system's, as on Windows.
TEST_F(OsErrorText, StatusBitCodeMissingFromNtdllFallsBackToTheSystemText) {
    EXPECT_EQ(OsError(0x10000005).message(), "Access is denied. (os error 268435461)");
}

TEST_F(OsErrorText, FallbackShowsTheClearedIdentifierAndSuffixTheOriginalCode) {
    EXPECT_EQ(OsError(0x10000000 | 4321).message(),
              "OS Error 4321 (FormatMessageW() returned error 317) (os error 268439777)");
}

TEST_F(OsErrorText, CodeWithTheTopBitIsShownNegative) {
    fake::set_error_text(0x80070005u, u"Access is denied.\r\n");
    EXPECT_EQ(OsError(static_cast<std::int32_t>(0x80070005u)).message(),
              "Access is denied. (os error -2147024891)");
    EXPECT_TRUE(fake::calls_of("GetModuleHandleW").empty());
}

TEST_F(OsErrorText, DiagnosticListsCodeKindAndQuotedText) {
    EXPECT_EQ(OsError(5).diagnostic_text(),
              "Os { code: 5, kind: PermissionDenied, message: \"Access is denied.\" }");
    EXPECT_EQ(OsError(1060).diagnostic_text(),
              "Os { code: 1060, kind: ServiceNotFound, message: \"The specified service does "
              "not exist as an installed service.\" }");
    // A write to a pipe whose reader has gone: the console's usual failure.
    EXPECT_EQ(OsError(232).diagnostic_text(),
              "Os { code: 232, kind: BrokenPipe, message: \"The pipe is being closed.\" }");
    fake::set_error_text(83, u"Say \"no\".\r\n");
    EXPECT_EQ(OsError(83).diagnostic_text(),
              "Os { code: 83, kind: Other, message: \"Say \\\"no\\\".\" }");
    EXPECT_EQ(OsError(5).cause(), nullptr);
}

TEST_F(OsErrorText, LastErrorTakesTheCurrentCode) {
    platform::SetLastError(0xC0000005u);
    OsError error = OsError::last_error();
    EXPECT_EQ(error.code(), static_cast<std::int32_t>(0xC0000005u));
}

TEST_F(OsErrorText, MakingOneAllocatesNothing) {
    platform::SetLastError(1060);
    vek::testing::AllocationCounter counter;
    OsError error = OsError::last_error();
    OsError other(5);
    EXPECT_EQ(counter.count(), 0u);
    EXPECT_NE(error, other);
}

}  // namespace
}  // namespace vek
