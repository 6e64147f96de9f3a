// quote_argument round trip: arguments taken from the input (UTF-16 units,
// split at NUL units), each quoted and joined behind a program name, come
// back unchanged from a splitter that follows the platform's documented
// parsing rules.
#include "scm/command_line.h"
#include "support/argv_parser.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::u16string> arguments(1);
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        auto unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (unit == u'\0')
            arguments.emplace_back();
        else
            arguments.back() += unit;
    }
    std::u16string line = u"C:\\Program Files\\Vek\\vek-system-service.exe";
    line = vek::quote_argument(line);
    for (const std::u16string& argument : arguments) {
        line += u' ';
        line += vek::quote_argument(argument);
    }
    std::vector<std::u16string> argv = vek::testing::split_command_line(line);
    if (argv.size() != arguments.size() + 1) std::abort();
    if (argv[0] != u"C:\\Program Files\\Vek\\vek-system-service.exe") std::abort();
    for (std::size_t k = 0; k < arguments.size(); ++k)
        if (argv[k + 1] != arguments[k]) std::abort();
    return 0;
}
