// Linux stand-in for the backtrace: glibc's backtrace() and dladdr(). Names
// come from the dynamic symbol table, so the test binaries link with
// -rdynamic; no source lines.
#include "platform/backtrace.h"

#include "platform/fake/fake_platform.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace vek::platform {

namespace {
// As on Windows: one thread at a time, and nothing takes it twice.
std::mutex backtrace_mutex;
}

BacktraceLock::BacktraceLock() { backtrace_mutex.lock(); }
BacktraceLock::~BacktraceLock() { backtrace_mutex.unlock(); }

[[gnu::noinline]] std::size_t capture_stack(std::span<void*> frames, std::size_t skip) noexcept {
    std::vector<void*> all(frames.size() + skip + 1);
    int count = ::backtrace(all.data(), static_cast<int>(all.size()));
    std::size_t first = skip + 1;  // this function's own frame, then `skip`
    if (count <= 0 || static_cast<std::size_t>(count) <= first) return 0;
    std::size_t taken = static_cast<std::size_t>(count) - first;
    for (std::size_t i = 0; i < taken; ++i) frames[i] = all[first + i];
    return taken;
}

std::string describe_frames(std::span<void* const> frames) {
    if (fake::SymbolLookupHook hook = fake::symbol_lookup_hook()) hook();
    std::string text;
    char line[64];
    for (std::size_t i = 0; i < frames.size(); ++i) {
        std::snprintf(line, sizeof line, "%4zu: ", i);
        text += line;
        Dl_info info{};
        // A return address points after the call; look up the call itself.
        void* address = static_cast<char*>(frames[i]) - 1;
        if (::dladdr(address, &info) != 0 && info.dli_sname != nullptr) {
            int status = 0;
            char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
            text += status == 0 && demangled != nullptr ? demangled : info.dli_sname;
            std::free(demangled);
        } else {
            std::snprintf(line, sizeof line, "%p", frames[i]);
            text += line;
        }
        text += '\n';
    }
    return text;
}

}  // namespace vek::platform
