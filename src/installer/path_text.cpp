#include "installer/path_text.h"

#include "installer/path_grammar.h"
#include "installer/unicode_tables.h"
#include "scm/utf.h"

#include <charconv>
#include <optional>

namespace vek {

namespace {

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

    // The name to replace is a final plain name: without it the path ends
    // where the component before it ends, or, with none left, after the
    // prefix and the root. What lay between (separators, "." components that
    // do not count) goes with the name.
    std::size_t end = path.size();
    if (!parsed.components.empty()) {
        Component last = parsed.components.back();
        std::u16string_view text = path.substr(last.start, last.end - last.start);
        if (text != u"." && text != u"..") {
            parsed.components.pop_back();
            end = parsed.components.empty() ? parsed.body_start() : parsed.components.back().end;
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
        std::optional<char32_t> decoded = decode_utf16(path, i);
        if (!decoded) {
            append_code_escape(out, unit);
            continue;
        }
        char32_t c = *decoded;
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
