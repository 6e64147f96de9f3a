// The command line of a new service: quote_argument as a table and as a
// round trip through an argument splitter, the joined line, and the
// dependency list.
#include "scm/command_line.h"
#include "support/argv_parser.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace vek {
namespace {

using namespace std::string_literals;

// --- quote_argument as a table ---------------------------------------------

struct Quoting {
    const char* name;
    std::u16string in;
    std::u16string out;
};

class QuoteArgument : public ::testing::TestWithParam<Quoting> {};

TEST_P(QuoteArgument, Quotes) { EXPECT_EQ(quote_argument(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(
    Table, QuoteArgument,
    ::testing::Values(
        Quoting{"Empty", u"", u"\"\""},
        Quoting{"Plain", u"service", u"service"},
        Quoting{"PlainPath", u"C:\\Tools\\vek-system-service.exe",
                u"C:\\Tools\\vek-system-service.exe"},
        Quoting{"UncPathBare", u"\\\\server\\share\\x.exe", u"\\\\server\\share\\x.exe"},
        Quoting{"BackslashAlone", u"\\", u"\\"},
        Quoting{"BackslashesAlone", u"\\\\\\", u"\\\\\\"},
        Quoting{"TrailingBackslashWithoutQuoting", u"C:\\Tools\\", u"C:\\Tools\\"},
        Quoting{"Space", u"C:\\Program Files\\x.exe", u"\"C:\\Program Files\\x.exe\""},
        Quoting{"Tab", u"a\tb", u"\"a\tb\""},
        Quoting{"LineFeed", u"a\nb", u"\"a\nb\""},
        Quoting{"VerticalTab", u"a\vb", u"\"a\vb\""},
        Quoting{"CarriageReturnIsNotQuoted", u"a\rb", u"a\rb"},
        Quoting{"QuoteAlone", u"\"", u"\"\\\"\""},
        Quoting{"QuoteInside", u"a\"b", u"\"a\\\"b\""},
        Quoting{"OneBackslashBeforeQuote", u"a\\\"b", u"\"a\\\\\\\"b\""},
        // Two backslashes and a quote: five backslashes and the quote.
        Quoting{"TwoBackslashesBeforeQuote", u"a\\\\\"b", u"\"a\\\\\\\\\\\"b\""},
        Quoting{"BackslashesBeforeOtherCharacter", u"a\\\\b c", u"\"a\\\\b c\""},
        Quoting{"OneBackslashAtEnd", u"C:\\a b\\", u"\"C:\\a b\\\\\""},
        Quoting{"ThreeBackslashesAtEnd", u"a b\\\\\\", u"\"a b\\\\\\\\\\\\\""},
        Quoting{"QuoteAtEnd", u"a b\"", u"\"a b\\\"\""},
        Quoting{"SurrogatePair", u"a \xD83D\xDE00", u"\"a \xD83D\xDE00\""},
        Quoting{"UnpairedSurrogate", u"\xD800 x", u"\"\xD800 x\""}),
    [](const auto& row) { return std::string(row.param.name); });

// --- quote_argument as a round trip ----------------------------------------

using testing::split_command_line;

// The splitter itself, on the documented examples.
TEST(SplitCommandLine, FollowsTheDocumentedExamples) {
    using V = std::vector<std::u16string>;
    EXPECT_EQ(split_command_line(u"p \"abc\" d e"), (V{u"p", u"abc", u"d", u"e"}));
    EXPECT_EQ(split_command_line(u"p a\\\\b d\"e f\"g h"), (V{u"p", u"a\\\\b", u"de fg", u"h"}));
    EXPECT_EQ(split_command_line(u"p a\\\\\\\"b c d"), (V{u"p", u"a\\\"b", u"c", u"d"}));
    EXPECT_EQ(split_command_line(u"p a\\\\\\\\\"b c\" d e"), (V{u"p", u"a\\\\b c", u"d", u"e"}));
    EXPECT_EQ(split_command_line(u"\"C:\\Program Files\\p.exe\" x"),
              (V{u"C:\\Program Files\\p.exe", u"x"}));
}

// Units an argument is made of: the characters that matter to quoting, made
// likely, and some that do not.
std::u16string random_argument(std::mt19937& random) {
    static const std::u16string pieces[] = {
        u"a",  u"b",  u" ",      u"\t",           u"\n",      u"\v", u"\"",
        u"\\", u"\\", u"\\\\\"", u"\xD83D\xDE00", u"\u00E9", u"\xD800", u"\r"};
    std::uniform_int_distribution<std::size_t> length(0, 10);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
    std::u16string argument;
    for (std::size_t n = length(random); n > 0; --n) argument += pieces[pick(random)];
    return argument;
}

TEST(QuoteArgumentRoundTrip, SplittingTheJoinedLineGivesTheArgumentsBack) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::size_t> count(1, 6);
    for (int line_number = 0; line_number < 3000; ++line_number) {
        std::vector<std::u16string> arguments;
        std::u16string line = u"C:\\p.exe";
        for (std::size_t n = count(random); n > 0; --n) {
            arguments.push_back(random_argument(random));
            line += u' ';
            line += quote_argument(arguments.back());
        }
        std::vector<std::u16string> argv = split_command_line(line);
        ASSERT_EQ(argv.size(), arguments.size() + 1) << "line " << line_number;
        for (std::size_t k = 0; k < arguments.size(); ++k)
            ASSERT_EQ(argv[k + 1], arguments[k]) << "line " << line_number << ", argument " << k;
    }
}

TEST(QuoteArgumentRoundTrip, ExecutablePathComesBackAsTheProgramName) {
    // The program name is split without backslash rules: a path that ends in
    // a backslash is not a service program, so only others are tried here.
    for (std::u16string path : {u"C:\\Program Files\\Vek\\vek-system-service.exe"s,
                                u"C:\\Tools\\vek-system-service.exe"s, u"D:\\a\tb\\x.exe"s}) {
        std::vector<std::u16string> argv = split_command_line(quote_argument(path));
        ASSERT_EQ(argv.size(), 1u);
        EXPECT_EQ(argv[0], path);
    }
}

// --- the command line ------------------------------------------------------

TEST(CommandLine, PathAloneIsTheQuotedPath) {
    auto line = build_command_line(u"C:\\Program Files\\Vek\\vek-system-service.exe", {});
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->units(), u"\"C:\\Program Files\\Vek\\vek-system-service.exe\"");
}

TEST(CommandLine, PathWithoutQuotingCharactersIsBare) {
    auto line = build_command_line(u"C:\\Tools\\vek-system-service.exe", {});
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->units(), u"C:\\Tools\\vek-system-service.exe");
}

TEST(CommandLine, ArgumentsAreSeparatedByOneSpaceWithNoTrailingSpace) {
    std::vector<std::string> arguments = {"--run", "", "two words", "caf\xC3\xA9"};
    auto line = build_command_line(u"C:\\a b\\x.exe", arguments);
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->units(), u"\"C:\\a b\\x.exe\" --run \"\" \"two words\" caf\u00E9");
    EXPECT_EQ(line->c_str()[line->units().size()], u'\0');

    std::vector<std::u16string> argv = split_command_line(line->units());
    EXPECT_EQ(argv, (std::vector<std::u16string>{u"C:\\a b\\x.exe", u"--run", u"", u"two words",
                                                 u"caf\u00E9"}));
}

TEST(CommandLine, PathWithSpaceEndingInBackslashEndsInTwoAndTheQuote) {
    auto line = build_command_line(u"C:\\a b\\", {});
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->units(), u"\"C:\\a b\\\\\"");
}

TEST(CommandLine, PathWithInnerNulIsRefused) {
    auto line = build_command_line(u"C:\\x\0y.exe"s, {});
    ASSERT_FALSE(line.has_value());
    EXPECT_EQ(line.error().diagnostic_text(), "ArgumentHasNulByte(\"executable path\")");
}

TEST(CommandLine, PathWhoseOnlyNulIsLastLosesIt) {
    auto line = build_command_line(u"C:\\x.exe\0"s, std::vector<std::string>{"a"});
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->units(), u"C:\\x.exe a");
}

TEST(CommandLine, QuotingComesBeforeTheNulCheck) {
    // Quoted, the final NUL is no longer the last unit.
    auto line = build_command_line(u"C:\\a b.exe\0"s, {});
    ASSERT_FALSE(line.has_value());
    EXPECT_EQ(line.error().diagnostic_text(), "ArgumentHasNulByte(\"executable path\")");
}

TEST(CommandLine, ThirdArgumentWithNulIsRefusedWithItsIndex) {
    std::vector<std::string> arguments = {"a", "b", "c\0d"s, "e\0f"s};
    auto line = build_command_line(u"C:\\x.exe", arguments);
    ASSERT_FALSE(line.has_value());
    EXPECT_EQ(line.error().diagnostic_text(),
              "ArgumentArrayElementHasNulByte(\"launch argument\", 2)");
}

TEST(CommandLine, BadPathIsReportedBeforeBadArgument) {
    std::vector<std::string> arguments = {"\0x"s};
    auto line = build_command_line(u"\0C:\\x.exe"s, arguments);
    ASSERT_FALSE(line.has_value());
    EXPECT_EQ(line.error().diagnostic_text(), "ArgumentHasNulByte(\"executable path\")");
}

TEST(CommandLine, ArgumentWhoseOnlyNulIsLastLosesIt) {
    std::vector<std::string> arguments = {"a\0"s};
    auto line = build_command_line(u"C:\\x.exe", arguments);
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->units(), u"C:\\x.exe a");
}

// --- the dependency list ---------------------------------------------------

TEST(DependencyList, EmptyIsNull) {
    auto list = encode_dependencies({});
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(list->get(), nullptr);
    EXPECT_TRUE(list->units().empty());
}

TEST(DependencyList, ServiceThenGroupIsDoubleTerminated) {
    std::vector<ServiceDependency> dependencies = {
        {ServiceDependency::Kind::service, "A"}, {ServiceDependency::Kind::group, "G"}};
    auto list = encode_dependencies(dependencies);
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(list->units(), u"A\0+G\0\0"s);
    ASSERT_NE(list->get(), nullptr);
    EXPECT_EQ(std::u16string_view(list->get(), 6), u"A\0+G\0\0"s);
}

TEST(DependencyList, IdentifierWithInnerNulIsRefusedWithoutIndex) {
    std::vector<ServiceDependency> dependencies = {
        {ServiceDependency::Kind::service, "A"}, {ServiceDependency::Kind::group, "G\0H"s}};
    auto list = encode_dependencies(dependencies);
    ASSERT_FALSE(list.has_value());
    EXPECT_EQ(list.error().diagnostic_text(), "ArgumentHasNulByte(\"dependency\")");
}

TEST(DependencyList, IdentifierWhoseOnlyNulIsLastLosesIt) {
    std::vector<ServiceDependency> dependencies = {{ServiceDependency::Kind::service, "A\0"s}};
    auto list = encode_dependencies(dependencies);
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(list->units(), u"A\0\0"s);
}

// An empty identifier would end the list early and drop what follows it.
TEST(DependencyList, EmptyServiceNameIsRefused) {
    for (std::string name : {""s, "\0"s}) {
        std::vector<ServiceDependency> dependencies = {
            {ServiceDependency::Kind::service, name}, {ServiceDependency::Kind::service, "B"}};
        auto list = encode_dependencies(dependencies);
        ASSERT_FALSE(list.has_value());
        EXPECT_EQ(list.error().diagnostic_text(), "ArgumentHasNulByte(\"dependency\")");
    }
}

TEST(DependencyList, GroupWithEmptyNameIsStillAnEntry) {
    std::vector<ServiceDependency> dependencies = {{ServiceDependency::Kind::group, ""},
                                                   {ServiceDependency::Kind::service, "B"}};
    auto list = encode_dependencies(dependencies);
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(list->units(), u"+\0B\0\0"s);
}

// --- drivers ---------------------------------------------------------------

TEST(DriverTypes, AreTheKernelFileSystemAndRecognizerDrivers) {
    struct Row {
        std::uint32_t type;
        bool driver;
    };
    for (Row row : {Row{0x1, true}, Row{0x2, true}, Row{0x8, true}, Row{0x4, false},
                    Row{0x10, false}, Row{0x20, false}, Row{0x50, false}, Row{0x110, false}})
        EXPECT_EQ(is_driver_type(row.type), row.driver) << std::hex << row.type;
}

}  // namespace
}  // namespace vek
