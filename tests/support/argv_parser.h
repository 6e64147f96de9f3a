// A command-line splitter written from Microsoft's documented rules for
// parsing C++ command-line arguments, to check built command lines against.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vek::testing {

inline bool is_delimiter(char16_t c) { return c == u' ' || c == u'\t'; }

// Splits a command line as the C runtime does (Microsoft, "Parsing C++
// command-line arguments"):
// - The program name ends at the first space or tab outside double quotes;
//   the quotes are dropped and backslashes are not special in it.
// - Arguments are separated by spaces or tabs.
// - A double-quoted part may hold spaces and tabs; the quotes are dropped.
// - Backslashes are literal unless a double quote follows them: then 2n of
//   them give n backslashes and the quote opens or closes a quoted part, and
//   2n+1 give n backslashes and a literal quote.
// - Inside a quoted part, two double quotes in a row give one literal quote.
inline std::vector<std::u16string> split_command_line(std::u16string_view line) {
    std::vector<std::u16string> argv;
    std::size_t i = 0;
    std::u16string program;
    bool quoted = false;
    for (; i < line.size(); ++i) {
        if (line[i] == u'"') {
            quoted = !quoted;
        } else if (!quoted && is_delimiter(line[i])) {
            break;
        } else {
            program += line[i];
        }
    }
    argv.push_back(program);

    while (true) {
        while (i < line.size() && is_delimiter(line[i])) ++i;
        if (i == line.size()) break;
        std::u16string argument;
        bool in_quotes = false;
        while (i < line.size()) {
            char16_t c = line[i];
            if (!in_quotes && is_delimiter(c)) break;
            if (c == u'\\') {
                std::size_t backslashes = 0;
                while (i < line.size() && line[i] == u'\\') ++backslashes, ++i;
                if (i < line.size() && line[i] == u'"') {
                    argument.append(backslashes / 2, u'\\');
                    if (backslashes % 2 == 1) {
                        argument += u'"';
                        ++i;
                    }
                } else {
                    argument.append(backslashes, u'\\');
                }
                continue;
            }
            if (c == u'"') {
                if (in_quotes && i + 1 < line.size() && line[i + 1] == u'"') {
                    argument += u'"';
                    i += 2;
                } else {
                    in_quotes = !in_quotes;
                    ++i;
                }
                continue;
            }
            argument += c;
            ++i;
        }
        argv.push_back(argument);
    }
    return argv;
}

}  // namespace vek::testing
