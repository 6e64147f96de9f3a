// The surrogate ranges, which the conversions, the path text, the path
// grammar and the console output all classify units by: pinned at each bound.
#include "scm/utf.h"

#include <gtest/gtest.h>

namespace vek {
namespace {

TEST(Surrogates, RangesEndExactlyAtTheirBounds) {
    struct Row {
        char16_t unit;
        bool high;
        bool low;
    };
    for (Row row : {Row{0xD7FF, false, false}, Row{0xD800, true, false}, Row{0xDBFF, true, false},
                    Row{0xDC00, false, true}, Row{0xDFFF, false, true}, Row{0xE000, false, false}}) {
        EXPECT_EQ(is_high_surrogate(row.unit), row.high) << std::hex << unsigned{row.unit};
        EXPECT_EQ(is_low_surrogate(row.unit), row.low) << std::hex << unsigned{row.unit};
        EXPECT_EQ(is_surrogate(row.unit), row.high || row.low) << std::hex << unsigned{row.unit};
    }
    EXPECT_EQ(surrogate_pair_value(0xD800, 0xDC00), U'\U00010000');
    EXPECT_EQ(surrogate_pair_value(0xDBFF, 0xDFFF), U'\U0010FFFF');
    EXPECT_EQ(high_surrogate_of(U'\U0010FFFF'), 0xDBFF);
    EXPECT_EQ(low_surrogate_of(U'\U00010000'), 0xDC00);
    EXPECT_TRUE(is_surrogate_pair_at(u"a\xD800\xDC00", 1));
    EXPECT_FALSE(is_surrogate_pair_at(u"a\xD800\xDC00", 2));
    EXPECT_FALSE(is_surrogate_pair_at(u"\xDC00\xD800", 0));
    EXPECT_FALSE(is_surrogate_pair_at(u"\xD800", 0));
}

// A high half at the very end of a text is no pair, whatever lies in memory
// after the text: here a low half, just past the end of the view. Evaluated
// by the compiler, where a read past the end does not compile.
constexpr char16_t high_then_low[] = {u'a', 0xD800, 0xDC00};
constexpr bool pair_at(std::size_t length, std::size_t at) {
    return is_surrogate_pair_at(std::u16string_view(high_then_low, length), at);
}
static_assert(pair_at(3, 1));
static_assert(!pair_at(2, 1));
static_assert(!pair_at(1, 0));
static_assert(!pair_at(3, 2));
static_assert(!pair_at(0, 0));

}  // namespace
}  // namespace vek
