#include "installer/unicode_tables.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

namespace vek {
namespace {

namespace fs = std::filesystem;

const fs::path source_root = fs::path(__FILE__).parent_path().parent_path().parent_path();
const fs::path database = "/usr/share/unicode";

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The committed tables are exactly what the generator makes of the database
// installed here (Debian's unicode-data).
TEST(UnicodeTables, AreWhatTheGeneratorMakesOfTheDatabase) {
    if (!fs::exists(database / "UnicodeData.txt") ||
        !fs::exists(database / "DerivedCoreProperties.txt"))
        GTEST_SKIP() << "the unicode-data package is not installed";
    if (std::system("python3 --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "python3 is not installed";

    fs::path output = fs::temp_directory_path() /
                      ("vek_unicode_tables_" + std::to_string(::getpid()) + ".cpp");
    std::string command = "python3 '" + (source_root / "tools/generate_unicode_tables.py").string() +
                          "' --ucd '" + database.string() + "' --output '" + output.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::string generated = read_file(output);
    fs::remove(output);

    EXPECT_EQ(generated, read_file(source_root / "src/installer/unicode_tables.cpp"))
        << "run tools/generate_unicode_tables.py --output src/installer/unicode_tables.cpp";
}

struct Point {
    char32_t code_point;
    bool printable;
    bool grapheme_extend;
};

class UnicodeProperties : public ::testing::TestWithParam<Point> {};

TEST_P(UnicodeProperties, FollowTheDatabase) {
    EXPECT_EQ(unicode::is_printable(GetParam().code_point), GetParam().printable);
    EXPECT_EQ(unicode::is_grapheme_extend(GetParam().code_point), GetParam().grapheme_extend);
}

// Each table's first and last edges, both sides of the BMP's end, and one
// code point of every category that decides.
INSTANTIATE_TEST_SUITE_P(Samples, UnicodeProperties, ::testing::Values(
    Point{0x0000, false, false},   // Cc, the very first
    Point{0x001F, false, false},   // Cc
    Point{0x0020, true, false},    // the one printable Zs
    Point{0x0041, true, false},    // Lu
    Point{0x007E, true, false},
    Point{0x007F, false, false},   // Cc
    Point{0x00A0, false, false},   // Zs
    Point{0x00AD, false, false},   // Cf
    Point{0x0300, true, true},     // Mn, the first combining mark
    Point{0x036F, true, true},
    Point{0x0370, true, false},
    Point{0x0378, false, false},   // Cn
    Point{0x0903, true, false},    // Mc without Grapheme_Extend
    Point{0x200C, false, true},    // Cf with Grapheme_Extend
    Point{0x2028, false, false},   // Zl
    Point{0x2029, false, false},   // Zp
    Point{0x3000, false, false},   // Zs
    Point{0xD800, false, false},   // Cs
    Point{0xE000, false, false},   // Co
    Point{0xFFFD, true, false},
    Point{0xFFFF, false, false},   // Cn, the last of the BMP
    Point{0x10000, true, false},   // Lo, the first above it
    Point{0x1D165, true, true},    // Mc with Grapheme_Extend
    Point{0x1F600, true, false},
    Point{0x20000, true, false},   // inside a range given by First and Last
    Point{0x2A6DF, true, false},
    Point{0xE0001, false, false},  // Cf
    Point{0xE0020, false, true},   // Cf with Grapheme_Extend
    Point{0xE01EF, true, true},    // the last grapheme extender
    Point{0xE01F0, false, false},
    Point{0xF0000, false, false},  // Co
    Point{0x10FFFF, false, false}));

}  // namespace
}  // namespace vek
