#include "installer/path_grammar.h"

#include "platform/utf16.h"

namespace vek {

namespace {

bool is_ascii_letter(char16_t unit) {
    return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z');
}

// Where the component that starts at `from` ends: the next separator, or the
// end of the path.
std::size_t component_end(std::u16string_view path, std::size_t from, bool verbatim) {
    while (from < path.size() && !is_separator(path[from], verbatim)) ++from;
    return from;
}

// The end of a "\\server\share"-like prefix whose server starts at `server`:
// after the share, or after the server when the share is missing or empty.
std::size_t server_and_share_end(std::u16string_view path, std::size_t server, bool verbatim) {
    std::size_t server_end = component_end(path, server, verbatim);
    if (server_end >= path.size()) return server_end;
    std::size_t share_end = component_end(path, server_end + 1, verbatim);
    return share_end > server_end + 1 ? share_end : server_end;
}

void parse_prefix(std::u16string_view path, ParsedPath& parsed) {
    if (path.starts_with(u"\\\\?\\")) {
        parsed.kind = PrefixKind::verbatim;
        // \\?\UNC\server\share, the share possibly missing; otherwise the
        // first component (\\?\C:, \\?\Volume{...}) belongs to the prefix.
        parsed.prefix_length = path.substr(4).starts_with(u"UNC\\")
                                   ? server_and_share_end(path, 8, true)
                                   : component_end(path, 4, true);
        return;
    }
    if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
        if (path.size() >= 4 && path[2] == u'.' && is_separator(path[3])) {
            parsed.kind = PrefixKind::share_or_device;
            parsed.prefix_length = component_end(path, 4, false);
            return;
        }
        // \\server\share, both names non-empty; anything less is no prefix.
        std::size_t server_end = component_end(path, 2, false);
        std::size_t end = server_and_share_end(path, 2, false);
        if (server_end > 2 && end > server_end) {
            parsed.kind = PrefixKind::share_or_device;
            parsed.prefix_length = end;
        }
        return;
    }
    if (path.size() >= 2 && is_ascii_letter(path[0]) && path[1] == u':') {
        parsed.kind = PrefixKind::drive;
        parsed.prefix_length = 2;
    }
}

// The number of units of a leading "X:" where X is one character other than a
// separator (a surrogate pair is one character); 0 when there is none.
std::size_t any_drive_length(std::u16string_view path) {
    if (path.empty() || is_separator(path[0])) return 0;
    std::size_t colon = is_surrogate_pair_at(path, 0) ? 2 : 1;
    return colon < path.size() && path[colon] == u':' ? colon + 1 : 0;
}

bool is_verbatim(std::u16string_view path) {
    return path.starts_with(u"\\\\?\\") || path.starts_with(u"\\??\\");
}

}  // namespace

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

bool taken_as_is(std::u16string_view path) {
    if (is_verbatim(path)) return true;
    if (path.size() + 1 >= long_path_units) return false;
    if (std::size_t drive = any_drive_length(path)) {
        return drive == path.size() || is_separator(path[drive]);
    }
    return path.size() >= 2 && is_separator(path[0]) && is_separator(path[1]);
}

std::u16string with_verbatim_prefix(std::u16string full) {
    if (is_verbatim(full)) return full;
    if (std::size_t drive = any_drive_length(full);
        drive != 0 && drive < full.size() && full[drive] == u'\\')
        return u"\\\\?\\" + full;
    if (full.starts_with(u"\\\\.\\")) return u"\\\\?\\" + full.substr(4);
    if (full.starts_with(u"\\\\")) return u"\\\\?\\UNC\\" + full.substr(2);
    return full;
}

}  // namespace vek
