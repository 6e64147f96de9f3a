// WideText: UTF-8 to UTF-16, the terminator, and the NUL rule with its labels.
#include "scm/wide_text.h"

#include <gtest/gtest.h>

#include <string>

namespace vek {
namespace {

using namespace std::string_literals;

struct Conversion {
    const char* name;
    std::string utf8;
    std::u16string units;  // expected, without terminator
};

class WideTextConversion : public ::testing::TestWithParam<Conversion> {};

TEST_P(WideTextConversion, EncodesAndTerminates) {
    const Conversion& c = GetParam();
    auto text = WideText::from_utf8(c.utf8, labels::service_name);
    ASSERT_TRUE(text.has_value()) << text.error().message();
    EXPECT_EQ(text->units(), c.units);
    // The platform reads up to the terminator: it must sit right after the
    // units.
    EXPECT_EQ(std::u16string(text->c_str()), c.units);
    EXPECT_EQ(text->c_str()[c.units.size()], u'\0');
}

INSTANTIATE_TEST_SUITE_P(
    Table, WideTextConversion,
    ::testing::Values(
        Conversion{"Ascii", "vek-system-service", u"vek-system-service"},
        Conversion{"Empty", "", u""},
        Conversion{"TwoByte", "caf\xC3\xA9", u"caf\u00E9"},
        Conversion{"LastBmp", "\xEF\xBF\xBF", u"\uFFFF"},
        Conversion{"FirstSupplementary", "\xF0\x90\x80\x80", u"\xD800\xDC00"},
        Conversion{"Emoji", "a\xF0\x9F\x98\x80z", u"a\xD83D\xDE00z"},
        Conversion{"LastCodePoint", "\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
        // The only NUL is the last unit: taken as the terminator.
        Conversion{"FinalNul", "name\0"s, u"name"},
        Conversion{"NulAlone", "\0"s, u""},
        Conversion{"FinalNulAfterPair", "\xF0\x9F\x98\x80\0"s, u"\xD83D\xDE00"}),
    [](const auto& row) { return std::string(row.param.name); });

struct Refusal {
    const char* name;
    std::string utf8;
};

class WideTextRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(WideTextRefusal, NamesTheLabel) {
    auto text = WideText::from_utf8(GetParam().utf8, labels::display_name);
    ASSERT_FALSE(text.has_value());
    const auto* error = text.error().get_if<ScmError::ArgumentHasNulByte>();
    ASSERT_NE(error, nullptr) << text.error().diagnostic_text();
    EXPECT_EQ(error->label, "display name");
    // The label is referred to, not copied.
    EXPECT_EQ(error->label.data(), labels::display_name.data());
}

INSTANTIATE_TEST_SUITE_P(Table, WideTextRefusal,
                         ::testing::Values(Refusal{"Middle", "a\0b"s},
                                           Refusal{"First", "\0ab"s},
                                           Refusal{"TwoAtTheEnd", "ab\0\0"s},
                                           Refusal{"TwoAlone", "\0\0"s},
                                           Refusal{"BeforeAPair", "\0\xF0\x9F\x98\x80"s}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(WideTextUnits, KeepsUnpairedSurrogatesOfAPath) {
    std::u16string path = u"C:\\d\xD800ir\\x.exe";
    path[4] = char16_t{0xDC01};  // a lone low surrogate as well
    auto text = WideText::from_units(path, labels::executable_path);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(text->units(), path);
}

TEST(WideTextUnits, FinalNulOfAPathIsTheTerminator) {
    auto text = WideText::from_units(u"C:\\x.exe"s + u'\0', labels::executable_path);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(text->units(), u"C:\\x.exe");
}

TEST(WideTextUnits, InnerNulOfAPathIsRefusedUnderItsLabel) {
    auto text = WideText::from_units(u"C:\\x\0.exe"s, labels::executable_path);
    ASSERT_FALSE(text.has_value());
    EXPECT_EQ(text.error().message(), "executable path contains a nul byte");
}

TEST(WideTextUnits, ElementRefusalCarriesTheIndex) {
    auto text = WideText::element_from_units(u"a\0b"s, labels::launch_argument, 7);
    ASSERT_FALSE(text.has_value());
    const auto* error = text.error().get_if<ScmError::ArgumentArrayElementHasNulByte>();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->label, "launch argument");
    EXPECT_EQ(error->index, 7u);
}

TEST(WideTextUnits, ElementWithFinalNulIsAccepted) {
    auto text = WideText::element_from_units(u"arg"s + u'\0', labels::launch_argument, 0);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(text->units(), u"arg");
}

}  // namespace
}  // namespace vek
