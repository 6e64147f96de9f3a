// Writing whole texts to the standard streams, unbuffered. On a console the
// UTF-8 text is converted and written as UTF-16 with WriteConsoleW; otherwise
// (a file or a pipe) the bytes are written unchanged.
#pragma once

#include "platform/win32.h"

#include <string_view>

namespace vek {

struct StreamWrite {
    enum class Outcome { written, not_attached, failed };
    Outcome outcome;
    // The platform's code when the write failed.
    platform::Dword error = 0;
};

enum class StandardStream { output, error };

// Writes all of `text` to the stream. Stops at the first failed write; what
// was written before it stays written. A process without that stream gives
// not_attached.
StreamWrite write_std_stream(StandardStream stream, std::string_view text);

}  // namespace vek
