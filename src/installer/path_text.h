// Path text: file-system paths as the exact UTF-16 units the platform gives,
// unpaired surrogates included. Pure text work, no platform call.
#pragma once

#include <string>
#include <string_view>

namespace vek {

// The path with its final name replaced by `file_name`, read under the
// platform's path rules: a drive (C:), share (\\server\share), device
// (\\.\name) or verbatim (\\?\...) prefix, an optional root separator, then
// components separated by "\" or "/" ("\" only after a verbatim prefix).
//
// A final plain name is removed together with the separators and skipped "."
// components before it; the prefix and the root are never touched. A verbatim
// path is then rebuilt with single "\" separators and its "." and ".."
// components in place; any other path gets a "\" (unless it is empty, ends in a
// separator or is a drive alone) and the name. `file_name` must be a single
// plain name. Units that are not separators, unpaired surrogates included, are
// kept as they are.
[[nodiscard]] std::u16string replace_file_name(std::u16string_view path,
                                               std::u16string_view file_name);

// The path in double quotes for a message, as UTF-8: backslash, both quotes,
// tab, CR, LF and NUL escaped with a backslash; unpaired surrogate units,
// grapheme-extending marks and characters that are not printable as \u{...}
// in lowercase hexadecimal; every other character as itself.
[[nodiscard]] std::string escaped_path_text(std::u16string_view path);

}  // namespace vek
