// Two properties of code points from the Unicode Character Database, for
// showing paths in messages. The tables behind them are generated
// (unicode_tables.cpp, by tools/generate_unicode_tables.py).
#pragma once

namespace vek::unicode {

// False for general categories Cc, Cf, Cs, Co, Cn (unassigned), Zl, Zp, and
// for Zs other than U+0020; true for every other code point up to U+10FFFF.
[[nodiscard]] bool is_printable(char32_t code_point) noexcept;

// Whether the code point has the Grapheme_Extend property (combining marks and
// the like, which attach to the character before them).
[[nodiscard]] bool is_grapheme_extend(char32_t code_point) noexcept;

}  // namespace vek::unicode
