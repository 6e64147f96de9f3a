#include "installer/path_text.h"

#include "installer/unicode_tables.h"
#include "scm/utf.h"

#include <charconv>
#include <vector>

namespace vek {

namespace {

enum class PrefixKind { none, drive, share, device, verbatim, verbatim_drive, verbatim_unc };

bool is_separator(char16_t unit, bool verbatim) {
    // After a verbatim prefix the platform takes the path as it is: "/" is an
    // ordinary character there.
    return unit == u'\\' || (!verbatim && unit == u'/');
}

bool is_ascii_letter(char16_t unit) {
    return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z');
}

// Where the component that starts at `from` ends: the next separator, or the
// end of the path.
std::size_t component_end(std::u16string_view path, std::size_t from, bool verbatim) {
    while (from < path.size() && !is_separator(path[from], verbatim)) ++from;
    return from;
}

struct Component {
    std::size_t start;
    std::size_t end;
};

// A path cut into its prefix, its root separator and its components.
struct ParsedPath {
    PrefixKind kind = PrefixKind::none;
    std::size_t prefix_length = 0;
    bool has_root = false;
    std::vector<Component> components;

    bool verbatim() const {
        return kind == PrefixKind::verbatim || kind == PrefixKind::verbatim_drive ||
               kind == PrefixKind::verbatim_unc;
    }
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

void parse_prefix(std::u16string_view path, ParsedPath& parsed) {
    if (path.starts_with(u"\\\\?\\")) {
        if (path.substr(4).starts_with(u"UNC\\")) {
            // \\?\UNC\server\share; the share may be missing.
            std::size_t server_end = component_end(path, 8, true);
            std::size_t end = server_end;
            if (server_end < path.size()) {
                std::size_t share_end = component_end(path, server_end + 1, true);
                if (share_end > server_end + 1) end = share_end;
            }
            parsed.kind = PrefixKind::verbatim_unc;
            parsed.prefix_length = end;
            return;
        }
        std::size_t first_end = component_end(path, 4, true);
        if (first_end == 6 && is_ascii_letter(path[4]) && path[5] == u':') {
            parsed.kind = PrefixKind::verbatim_drive;
        } else {
            parsed.kind = PrefixKind::verbatim;
        }
        parsed.prefix_length = first_end;
        return;
    }
    if (path.size() >= 2 && is_separator(path[0], false) && is_separator(path[1], false)) {
        if (path.size() >= 4 && path[2] == u'.' && is_separator(path[3], false)) {
            parsed.kind = PrefixKind::device;
            parsed.prefix_length = component_end(path, 4, false);
            return;
        }
        // \\server\share, both names non-empty; anything less is no prefix.
        std::size_t server_end = component_end(path, 2, false);
        if (server_end > 2 && server_end < path.size()) {
            std::size_t share_end = component_end(path, server_end + 1, false);
            if (share_end > server_end + 1) {
                parsed.kind = PrefixKind::share;
                parsed.prefix_length = share_end;
            }
        }
        return;
    }
    if (path.size() >= 2 && is_ascii_letter(path[0]) && path[1] == u':') {
        parsed.kind = PrefixKind::drive;
        parsed.prefix_length = 2;
    }
}

ParsedPath parse(std::u16string_view path) {
    ParsedPath parsed;
    parse_prefix(path, parsed);
    bool verbatim = parsed.verbatim();
    parsed.has_root = parsed.prefix_length < path.size() &&
                      is_separator(path[parsed.prefix_length], verbatim);
    for (std::size_t at = parsed.body_start(); at < path.size();) {
        std::size_t end = component_end(path, at, verbatim);
        std::u16string_view text = path.substr(at, end - at);
        bool skipped = text.empty() || (text == u"." && !parsed.dot_counts(at));
        if (!skipped) parsed.components.push_back({at, end});
        at = end + 1;
    }
    return parsed;
}

void append_code_escape(std::string& out, char32_t value) {
    char digits[8];
    auto result = std::to_chars(std::begin(digits), std::end(digits),
                                static_cast<std::uint32_t>(value), 16);
    out += "\\u{";
    out.append(digits, result.ptr);
    out += '}';
}

}  // namespace

std::u16string replace_file_name(std::u16string_view path, std::u16string_view file_name) {
    ParsedPath parsed = parse(path);
    const bool verbatim = parsed.verbatim();

    std::size_t end = path.size();
    if (!parsed.components.empty()) {
        Component last = parsed.components.back();
        std::u16string_view text = path.substr(last.start, last.end - last.start);
        if (text != u"." && text != u"..") {
            parsed.components.pop_back();
            end = last.start;
            // Drop what led up to the name: separators, and "." components
            // that do not stand for themselves. The prefix and the root lie
            // before body_start and stay.
            const std::size_t floor = parsed.body_start();
            while (end > floor) {
                if (is_separator(path[end - 1], verbatim)) {
                    --end;
                } else if (!verbatim && path[end - 1] == u'.' &&
                           (end - 1 == floor || is_separator(path[end - 2], false)) &&
                           !parsed.dot_counts(end - 1)) {
                    --end;
                } else {
                    break;
                }
            }
        }
    }

    std::u16string result;
    if (verbatim) {
        // The platform does not normalise a verbatim path, so it is written
        // out in its one clean form: the prefix, then each component after a
        // single "\".
        result.assign(path.substr(0, parsed.prefix_length));
        for (Component component : parsed.components) {
            result += u'\\';
            result.append(path.substr(component.start, component.end - component.start));
        }
        result += u'\\';
        result.append(file_name);
        return result;
    }

    result.assign(path.substr(0, end));
    bool drive_alone = parsed.kind == PrefixKind::drive && end == parsed.prefix_length;
    if (!result.empty() && !is_separator(result.back(), false) && !drive_alone) result += u'\\';
    result.append(file_name);
    return result;
}

std::string escaped_path_text(std::u16string_view path) {
    std::string out;
    out.reserve(path.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < path.size();) {
        char16_t unit = path[i];
        char32_t c = unit;
        if (is_surrogate_pair_at(path, i)) {
            c = surrogate_pair_value(unit, path[i + 1]);
            i += 2;
        } else if (is_surrogate(unit)) {
            append_code_escape(out, unit);
            ++i;
            continue;
        } else {
            ++i;
        }
        switch (c) {
            case U'\\': out += "\\\\"; break;
            case U'"': out += "\\\""; break;
            case U'\'': out += "\\'"; break;
            case U'\t': out += "\\t"; break;
            case U'\r': out += "\\r"; break;
            case U'\n': out += "\\n"; break;
            case U'\0': out += "\\0"; break;
            default:
                if (unicode::is_grapheme_extend(c) || !unicode::is_printable(c)) {
                    append_code_escape(out, c);
                } else {
                    append_utf8(out, c);
                }
        }
    }
    out += '"';
    return out;
}

}  // namespace vek
