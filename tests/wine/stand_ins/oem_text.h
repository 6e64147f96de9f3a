// Text written as Windows' own console tools write it when their output is
// redirected: in the OEM code page, with the line ends the text holds.
#pragma once

#include "../support/windows_api.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

namespace vek::wine_test {

inline void write_oem(const std::wstring& text) {
    if (text.empty()) return;
    int size = WideCharToMultiByte(CP_OEMCP, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_OEMCP, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                        size, nullptr, nullptr);
    _setmode(_fileno(stdout), _O_BINARY);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

}  // namespace vek::wine_test
