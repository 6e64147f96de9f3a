#include "scm/command_line.h"

#include "scm/utf.h"

namespace vek {

namespace {

constexpr bool needs_quoting(std::u16string_view text) noexcept {
    return text.empty() || text.find_first_of(u"\" \n\t\v") != std::u16string_view::npos;
}

}  // namespace

std::u16string quote_argument(std::u16string_view argument) {
    if (!needs_quoting(argument)) return std::u16string(argument);

    std::u16string out;
    out.reserve(argument.size() + 2);
    out += u'"';
    std::size_t i = 0;
    while (true) {
        std::size_t backslashes = 0;
        while (i < argument.size() && argument[i] == u'\\') {
            ++backslashes;
            ++i;
        }
        if (i == argument.size()) {
            // Doubled, so that the closing quote is not taken as escaped.
            out.append(2 * backslashes, u'\\');
            break;
        }
        if (argument[i] == u'"') {
            out.append(2 * backslashes + 1, u'\\');
        } else {
            out.append(backslashes, u'\\');
        }
        out += argument[i];
        ++i;
    }
    out += u'"';
    return out;
}

std::expected<WideText, ScmError> build_command_line(
    std::u16string_view executable_path, std::span<const std::string> launch_arguments) {
    auto path = WideText::from_units(quote_argument(executable_path), labels::executable_path);
    if (!path) return std::unexpected(std::move(path.error()));

    std::u16string line(path->units());
    for (std::size_t i = 0; i < launch_arguments.size(); ++i) {
        auto argument = WideText::element_from_units(
            quote_argument(utf8_to_utf16(launch_arguments[i])), labels::launch_argument, i);
        if (!argument) return std::unexpected(std::move(argument.error()));
        line += u' ';
        line += argument->units();
    }
    // Every piece passed its own NUL check; the terminator is the string's own.
    return WideText::from_checked_units(std::move(line));
}

std::expected<DependencyList, ScmError> encode_dependencies(
    std::span<const ServiceDependency> dependencies) {
    DependencyList list;
    for (const ServiceDependency& dependency : dependencies) {
        auto identifier = WideText::from_utf8(dependency.identifier(), labels::dependency);
        if (!identifier) return std::unexpected(std::move(identifier.error()));
        // An empty identifier would be read as the end of the list, silently
        // dropping every dependency after it: its text ends at once in a NUL.
        if (identifier->units().empty())
            return std::unexpected(ScmError::ArgumentHasNulByte{labels::dependency});
        list.units_ += identifier->units();
        list.units_ += u'\0';
    }
    // The second NUL of the end; c_str() adds none that counts, since the list
    // is read up to the first empty entry.
    if (!list.units_.empty()) list.units_ += u'\0';
    return list;
}

}  // namespace vek
