// replace_file_name on any path (the input as UTF-16 units): the result ends
// with the name placed, however often it is applied. (It is not idempotent
// for every input: a path that is only an incomplete prefix, such as
// \\?\UNC or \\.\, takes the name into its prefix, and the next
// application appends it again. The installer's own path always ends in a
// file name after a complete prefix.)
#include "installer/path_text.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string path(size / 2, u'\0');
    for (std::size_t i = 0; i < path.size(); ++i)
        path[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);

    constexpr std::u16string_view name = u"vek-system-service.exe";
    std::u16string once = vek::replace_file_name(path, name);
    if (!once.ends_with(name)) std::abort();
    std::u16string twice = vek::replace_file_name(once, name);
    if (!twice.ends_with(name)) std::abort();
    return 0;
}
