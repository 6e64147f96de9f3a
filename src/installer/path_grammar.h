// The platform's path syntax, in one place: separators, prefixes and
// components. Pure text work, no platform call.
//
// A path is read two ways, where the platform itself reads it two ways:
// - cut into prefix, root and components, as the documented forms go (a
//   drive is an ASCII letter and ":", a share needs both its names, and only
//   "\\?\" is verbatim): what replace_file_name works on;
// - whether the platform's file functions take it as it is, as their own
//   path-type test goes (any character before ":" is a drive, any two leading
//   separators make a share or device, and the native "\??\" passes through
//   like "\\?\"): what the existence test works on.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vek {

// A path this long or longer, counting its NUL, is handed to the platform in
// its verbatim form: the plain form is cut off at MAX_PATH on systems without
// long-path support.
inline constexpr std::size_t long_path_units = 248;

// "\" always; "/" too, except after a verbatim prefix, where the platform
// takes the path as it is and "/" is an ordinary character.
constexpr bool is_separator(char16_t unit, bool verbatim = false) noexcept {
    return unit == u'\\' || (!verbatim && unit == u'/');
}

// --- The path cut into its parts ---

// The kinds of prefix that the rules for "." components and for appending
// tell apart.
enum class PrefixKind { none, drive, share_or_device, verbatim };

struct Component {
    std::size_t start;
    std::size_t end;
};

struct ParsedPath {
    PrefixKind kind = PrefixKind::none;
    std::size_t prefix_length = 0;
    bool has_root = false;
    // Empty components (doubled separators) and "." components that do not
    // count are left out.
    std::vector<Component> components;

    bool verbatim() const { return kind == PrefixKind::verbatim; }
    std::size_t body_start() const { return prefix_length + (has_root ? 1 : 0); }
    // Whether a "." component at `start` stands for itself: in verbatim paths
    // always; in ordinary ones only as the first component of a relative or
    // drive-relative path (".\x", "C:.\x"), where it cannot be dropped without
    // changing what the path means to a reader.
    bool dot_counts(std::size_t start) const {
        if (verbatim()) return true;
        return start == body_start() && !has_root &&
               (kind == PrefixKind::none || kind == PrefixKind::drive);
    }
};

// Prefixes: a drive (C:); a share (\\server\share, both names non-empty); a
// device (\\.\name); verbatim (\\?\ and its first component, or
// \\?\UNC\server\share). A root separator follows the prefix directly, or
// starts a path without one.
[[nodiscard]] ParsedPath parse(std::u16string_view path);

// --- The path as the platform's file functions take it ---

// Whether the platform takes `path` as it is: verbatim ("\\?\" or "\??\"),
// or shorter than long_path_units with its NUL and absolute (a drive and a
// separator, a drive alone, or two leading separators).
[[nodiscard]] bool taken_as_is(std::u16string_view path);

// The verbatim form of an absolute path from GetFullPathNameW: "\\?\" before
// a drive path, "\\?\UNC\" for the two separators of a share, "\\?\" for the
// "\\.\" of a device; a verbatim path, or any other, unchanged.
[[nodiscard]] std::u16string with_verbatim_prefix(std::u16string full);

}  // namespace vek
