#include "installer/path_text.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace vek {
namespace {

constexpr std::u16string_view name = u"vek-system-service.exe";

std::string narrow(std::u16string_view text) {
    std::string out;
    for (char16_t unit : text) {
        if (unit < 0x80) {
            out += static_cast<char>(unit);
        } else {
            char hex[16];
            std::snprintf(hex, sizeof hex, "<%04X>", static_cast<unsigned>(unit));
            out += hex;
        }
    }
    return out;
}

struct Replacement {
    std::u16string_view path;
    std::u16string_view expected;
};

void PrintTo(const Replacement& row, std::ostream* out) { *out << narrow(row.path); }

class ReplaceFileName : public ::testing::TestWithParam<Replacement> {};

TEST_P(ReplaceFileName, PlacesTheNameAsThePathGrammarSays) {
    EXPECT_EQ(narrow(replace_file_name(GetParam().path, name)), narrow(GetParam().expected));
}

// The documented table of installer paths and the service paths made of them.
INSTANTIATE_TEST_SUITE_P(DocumentedRows, ReplaceFileName, ::testing::Values(
    Replacement{u"C:\\Program Files\\Tools\\setup.exe",
                u"C:\\Program Files\\Tools\\vek-system-service.exe"},
    Replacement{u"C:\\setup.exe", u"C:\\vek-system-service.exe"},
    Replacement{u"\\\\server\\share\\tools\\setup.exe",
                u"\\\\server\\share\\tools\\vek-system-service.exe"},
    Replacement{u"\\\\server\\share\\setup.exe", u"\\\\server\\share\\vek-system-service.exe"},
    Replacement{u"\\\\?\\C:\\tools\\setup.exe", u"\\\\?\\C:\\tools\\vek-system-service.exe"},
    Replacement{u"\\\\?\\UNC\\server\\share\\setup.exe",
                u"\\\\?\\UNC\\server\\share\\vek-system-service.exe"},
    Replacement{u"C:\\tools\\.\\setup.exe", u"C:\\tools\\vek-system-service.exe"},
    Replacement{u"C:\\tools/setup.exe", u"C:\\tools\\vek-system-service.exe"},
    Replacement{u"\\\\?\\C:\\tools\\.\\setup.exe", u"\\\\?\\C:\\tools\\.\\vek-system-service.exe"},
    Replacement{u"C:setup.exe", u"C:vek-system-service.exe"},
    Replacement{u"setup.exe", u"vek-system-service.exe"},
    Replacement{u"", u"vek-system-service.exe"},
    Replacement{u"C:\\tools\\..", u"C:\\tools\\..\\vek-system-service.exe"}));

// "." components: their own in verbatim paths and first in a relative or
// drive-relative path; skipped everywhere else.
INSTANTIATE_TEST_SUITE_P(DotComponents, ReplaceFileName, ::testing::Values(
    Replacement{u"\\\\?\\C:\\.\\setup.exe", u"\\\\?\\C:\\.\\vek-system-service.exe"},
    Replacement{u"\\\\?\\C:\\tools\\.", u"\\\\?\\C:\\tools\\.\\vek-system-service.exe"},
    Replacement{u"\\\\?\\C:\\a\\.\\.\\setup.exe", u"\\\\?\\C:\\a\\.\\.\\vek-system-service.exe"},
    Replacement{u".\\setup.exe", u".\\vek-system-service.exe"},
    Replacement{u".", u".\\vek-system-service.exe"},
    Replacement{u"./setup.exe", u".\\vek-system-service.exe"},
    Replacement{u".\\.\\setup.exe", u".\\vek-system-service.exe"},
    Replacement{u"C:.\\setup.exe", u"C:.\\vek-system-service.exe"},
    Replacement{u"C:.", u"C:.\\vek-system-service.exe"},
    Replacement{u"a\\.\\setup.exe", u"a\\vek-system-service.exe"},
    Replacement{u"a\\.", u"vek-system-service.exe"},
    Replacement{u"\\.\\setup.exe", u"\\vek-system-service.exe"},
    Replacement{u"C:\\.\\.\\setup.exe", u"C:\\vek-system-service.exe"},
    Replacement{u"\\\\server\\share\\.\\setup.exe", u"\\\\server\\share\\vek-system-service.exe"},
    // A name that merely ends in a dot is a name.
    Replacement{u"C:\\tools.\\setup.exe", u"C:\\tools.\\vek-system-service.exe"},
    Replacement{u"C:\\tools\\x.", u"C:\\tools\\vek-system-service.exe"}));

INSTANTIATE_TEST_SUITE_P(DotDotComponents, ReplaceFileName, ::testing::Values(
    Replacement{u"..", u"..\\vek-system-service.exe"},
    Replacement{u"..\\setup.exe", u"..\\vek-system-service.exe"},
    Replacement{u"C:\\a\\..\\setup.exe", u"C:\\a\\..\\vek-system-service.exe"},
    Replacement{u"C:\\a\\..\\\\setup.exe", u"C:\\a\\..\\vek-system-service.exe"},
    Replacement{u"C:..", u"C:..\\vek-system-service.exe"},
    Replacement{u"\\\\?\\C:\\a\\..\\setup.exe", u"\\\\?\\C:\\a\\..\\vek-system-service.exe"},
    Replacement{u"\\\\?\\C:\\a\\..", u"\\\\?\\C:\\a\\..\\vek-system-service.exe"}));

INSTANTIATE_TEST_SUITE_P(DriveRelative, ReplaceFileName, ::testing::Values(
    Replacement{u"C:tools\\setup.exe", u"C:tools\\vek-system-service.exe"},
    Replacement{u"C:tools\\", u"C:vek-system-service.exe"},
    Replacement{u"c:tools/setup.exe", u"c:tools\\vek-system-service.exe"},
    Replacement{u"C:", u"C:vek-system-service.exe"},
    Replacement{u"C:\\", u"C:\\vek-system-service.exe"},
    Replacement{u"C:/", u"C:/vek-system-service.exe"},
    Replacement{u"C:\\\\\\setup.exe", u"C:\\vek-system-service.exe"},
    // Only an ASCII letter makes a drive.
    Replacement{u"1:setup.exe", u"vek-system-service.exe"},
    Replacement{u"1:\\setup.exe", u"1:\\vek-system-service.exe"}));

INSTANTIATE_TEST_SUITE_P(Shares, ReplaceFileName, ::testing::Values(
    Replacement{u"\\\\server\\share", u"\\\\server\\share\\vek-system-service.exe"},
    Replacement{u"\\\\server\\share\\", u"\\\\server\\share\\vek-system-service.exe"},
    Replacement{u"\\\\server\\share\\\\\\", u"\\\\server\\share\\\\\\vek-system-service.exe"},
    Replacement{u"\\\\server\\share\\tools\\\\", u"\\\\server\\share\\vek-system-service.exe"},
    Replacement{u"//server/share/setup.exe", u"//server/share/vek-system-service.exe"},
    Replacement{u"\\\\server\\share\\\\setup.exe", u"\\\\server\\share\\vek-system-service.exe"},
    // Without a share name there is no share prefix: just a root and a name.
    Replacement{u"\\\\server", u"\\vek-system-service.exe"},
    Replacement{u"\\\\server\\", u"\\vek-system-service.exe"},
    Replacement{u"\\\\.\\pipe\\setup.exe", u"\\\\.\\pipe\\vek-system-service.exe"},
    Replacement{u"\\\\.\\COM1", u"\\\\.\\COM1\\vek-system-service.exe"}));

INSTANTIATE_TEST_SUITE_P(VerbatimUnc, ReplaceFileName, ::testing::Values(
    Replacement{u"\\\\?\\UNC\\server\\share", u"\\\\?\\UNC\\server\\share\\vek-system-service.exe"},
    Replacement{u"\\\\?\\UNC\\server\\share\\",
                u"\\\\?\\UNC\\server\\share\\vek-system-service.exe"},
    Replacement{u"\\\\?\\UNC\\server\\share\\\\\\",
                u"\\\\?\\UNC\\server\\share\\vek-system-service.exe"},
    Replacement{u"\\\\?\\UNC\\server\\share\\tools\\\\",
                u"\\\\?\\UNC\\server\\share\\vek-system-service.exe"},
    Replacement{u"\\\\?\\UNC\\server\\share\\\\tools\\\\\\setup.exe",
                u"\\\\?\\UNC\\server\\share\\tools\\vek-system-service.exe"}));

INSTANTIATE_TEST_SUITE_P(OnlySeparatorsOrPrefix, ReplaceFileName, ::testing::Values(
    Replacement{u"\\", u"\\vek-system-service.exe"},
    Replacement{u"/", u"/vek-system-service.exe"},
    Replacement{u"\\\\", u"\\\\vek-system-service.exe"},
    Replacement{u"/\\/", u"/\\/vek-system-service.exe"},
    Replacement{u"\\\\?\\C:", u"\\\\?\\C:\\vek-system-service.exe"},
    Replacement{u"\\\\?\\C:\\", u"\\\\?\\C:\\vek-system-service.exe"},
    Replacement{u"\\\\?\\C:\\\\\\", u"\\\\?\\C:\\vek-system-service.exe"},
    Replacement{u"\\\\?\\pictures", u"\\\\?\\pictures\\vek-system-service.exe"},
    Replacement{u"\\\\?\\pictures\\setup.exe", u"\\\\?\\pictures\\vek-system-service.exe"}));

// After a verbatim prefix "/" is an ordinary character of a name.
INSTANTIATE_TEST_SUITE_P(SlashInVerbatim, ReplaceFileName, ::testing::Values(
    Replacement{u"\\\\?\\C:\\tools/setup.exe", u"\\\\?\\C:\\vek-system-service.exe"},
    Replacement{u"\\\\?\\C:\\a/b\\setup.exe", u"\\\\?\\C:\\a/b\\vek-system-service.exe"},
    Replacement{u"\\\\?\\C:\\a\\setup.exe/", u"\\\\?\\C:\\a\\vek-system-service.exe"},
    // "C:/x" is not a drive after the verbatim prefix: the whole is its name.
    Replacement{u"\\\\?\\C:/x\\setup.exe", u"\\\\?\\C:/x\\vek-system-service.exe"}));

INSTANTIATE_TEST_SUITE_P(UnpairedSurrogates, ReplaceFileName, ::testing::Values(
    Replacement{u"C:\\\xD800" u"dir\\setup.exe", u"C:\\\xD800" u"dir\\vek-system-service.exe"},
    Replacement{u"C:\\dir\xDC00\\\xD800", u"C:\\dir\xDC00\\vek-system-service.exe"},
    Replacement{u"\\\\?\\C:\\\xDBFF\\setup.exe", u"\\\\?\\C:\\\xDBFF\\vek-system-service.exe"}));

// --- Properties over generated paths ---

struct GeneratedPath {
    std::u16string prefix;
    std::u16string path;
    bool verbatim;
};

// Paths made of a prefix, a root and components of every kind the grammar
// tells apart. The generator keeps the prefix the prefix: after a share,
// device or verbatim prefix a component always follows a separator, and a
// path without a prefix never starts with two separators.
std::vector<GeneratedPath> generated_paths(bool end_with_a_name) {
    const std::vector<std::pair<std::u16string, bool>> prefixes = {
        {u"", false},
        {u"C:", false},
        {u"z:", false},
        {u"\\\\server\\share", false},
        {u"//server/share", false},
        {u"\\\\.\\COM1", false},
        {u"\\\\?\\C:", true},
        {u"\\\\?\\UNC\\server\\share", true},
        {u"\\\\?\\pictures", true},
    };
    const std::vector<std::u16string> components = {
        u"a", u"setup.exe", u".", u"..", u"", u"x y", u"\xD800", u"\xDC00z", u"\u00E4",
        u"a/b", u"n.", u"\U0001F600"};
    const std::vector<std::u16string> separators = {u"\\", u"/"};

    std::mt19937 random(20240604);
    auto pick = [&random](const auto& list) -> const auto& {
        return list[std::uniform_int_distribution<std::size_t>(0, list.size() - 1)(random)];
    };

    std::vector<GeneratedPath> paths;
    for (int i = 0; i < 3000; ++i) {
        const auto& [prefix, verbatim] = pick(prefixes);
        bool needs_root = !(prefix.empty() || prefix == u"C:" || prefix == u"z:");
        std::u16string path = prefix;
        std::size_t count = std::uniform_int_distribution<std::size_t>(0, 5)(random);
        bool root = needs_root || (random() % 2 == 0);
        for (std::size_t k = 0; k < count; ++k) {
            std::u16string separator = verbatim ? u"\\" : pick(separators);
            std::u16string component = pick(components);
            if (k == 0) {
                if (root) path += separator;
                // A first empty component would make a second leading
                // separator, and "/" right after a verbatim prefix would join
                // its first component.
                if (component.empty() || (verbatim && component.starts_with(u"/")))
                    component = u"a";
            } else {
                path += separator;
            }
            path += component;
        }
        if (end_with_a_name) {
            if (count != 0 || (root && !path.ends_with(u"\\") && !path.ends_with(u"/")) ||
                needs_root)
                path += verbatim ? u"\\" : pick(separators);
            path += u"setup.exe";
        }
        paths.push_back({prefix, path, verbatim});
    }
    return paths;
}

TEST(ReplaceFileNameProperties, KeepsThePrefixAndEndsWithTheName) {
    for (const GeneratedPath& generated : generated_paths(false)) {
        SCOPED_TRACE(narrow(generated.path));
        std::u16string result = replace_file_name(generated.path, name);
        ASSERT_TRUE(result.starts_with(generated.prefix)) << narrow(result);
        // The prefix is not lengthened either: what follows it is a separator
        // (or, after a drive, anything).
        if (!generated.prefix.empty() && generated.prefix.size() != 2) {
            char16_t next = result[generated.prefix.size()];
            EXPECT_TRUE(next == u'\\' || (!generated.verbatim && next == u'/')) << narrow(result);
        }
        EXPECT_TRUE(result.ends_with(name)) << narrow(result);
        std::u16string_view before = std::u16string_view(result).substr(0, result.size() - name.size());
        EXPECT_TRUE(before.empty() || before.ends_with(u"\\") || before.ends_with(u"/") ||
                    before == u"C:" || before == u"z:")
            << narrow(result);
    }
}

TEST(ReplaceFileNameProperties, OnAPathEndingInANameTwiceIsOnce) {
    for (const GeneratedPath& generated : generated_paths(true)) {
        SCOPED_TRACE(narrow(generated.path));
        std::u16string once = replace_file_name(generated.path, name);
        EXPECT_EQ(narrow(replace_file_name(once, name)), narrow(once));
    }
}

// --- escaped_path_text ---

struct Escape {
    std::u16string_view path;
    std::string_view expected;
};

void PrintTo(const Escape& row, std::ostream* out) { *out << narrow(row.path); }

class EscapedPathText : public ::testing::TestWithParam<Escape> {};

TEST_P(EscapedPathText, QuotesAndEscapes) {
    EXPECT_EQ(escaped_path_text(GetParam().path), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Characters, EscapedPathText, ::testing::Values(
    Escape{u"C:\\Tools\\vek-system-service.exe", R"("C:\\Tools\\vek-system-service.exe")"},
    Escape{u"", R"("")"},
    Escape{u"a\"b", R"("a\"b")"},
    Escape{u"it's", R"("it\'s")"},
    Escape{u"a\tb\rc\nd", R"("a\tb\rc\nd")"},
    Escape{std::u16string_view(u"a\0b", 3), R"("a\0b")"},
    Escape{u" x y ", R"(" x y ")"},
    // Unpaired surrogates: alone, at the end, reversed, a high one before a
    // character that is not a low one.
    Escape{u"\xD800", R"("\u{d800}")"},
    Escape{u"a\xDC00", R"("a\u{dc00}")"},
    Escape{u"\xDC00\xD800", R"("\u{dc00}\u{d800}")"},
    Escape{u"\xDBFFx", R"("\u{dbff}x")"},
    // Grapheme-extending marks, also after a character they would join.
    Escape{u"e\u0301", R"("e\u{301}")"},
    Escape{u"\u200D", R"("\u{200d}")"},
    Escape{u"\U0001D165", R"("\u{1d165}")"},
    // A spacing mark that does not extend a grapheme is shown as itself.
    Escape{u"\u0915\u0903", "\"\u0915\u0903\""},
    // Characters that are not printable.
    Escape{u"\u007F", R"("\u{7f}")"},
    Escape{u"\u0085", R"("\u{85}")"},
    Escape{u"a\u00A0b", R"("a\u{a0}b")"},
    Escape{u"\u200B", R"("\u{200b}")"},
    Escape{u"\u2028\u2029", R"("\u{2028}\u{2029}")"},
    Escape{u"\uE000", R"("\u{e000}")"},
    Escape{u"\u0378", R"("\u{378}")"},
    Escape{u"\U000E0001", R"("\u{e0001}")"},
    Escape{u"\U0010FFFF", R"("\u{10ffff}")"},
    // Printable characters, a surrogate pair among them, as themselves.
    Escape{u"\u00E4\u4E2D", "\"\u00E4\u4E2D\""},
    Escape{u"\U0001F600", "\"\xF0\x9F\x98\x80\""},
    Escape{u"C:\\caf\u00E9 l'\u00E9t\u00E9", "\"C:\\\\caf\u00E9 l\\'\u00E9t\u00E9\""}));

}  // namespace
}  // namespace vek
