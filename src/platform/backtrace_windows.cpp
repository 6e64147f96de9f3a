// The backtrace on Windows: RtlCaptureStackBackTrace records the frames;
// DbgHelp resolves them, loaded only when a trace is first rendered and only
// from the system directory, never from the installer's own folder (a
// dbghelp.dll planted beside the installer must not run as an administrator).
#include "platform/backtrace.h"

#include <windows.h>

#include <dbghelp.h>

#include <charconv>
#include <string>

namespace vek::platform {

namespace {

SRWLOCK backtrace_lock = SRWLOCK_INIT;
// The lock is taken again by rendering while a capture holds it only in
// nested use; SRW locks are not re-entrant, so track the owner.
DWORD lock_owner = 0;
int lock_depth = 0;

using SymSetOptionsFn = DWORD(WINAPI*)(DWORD);
using SymInitializeWFn = BOOL(WINAPI*)(HANDLE, PCWSTR, BOOL);
using SymFromAddrWFn = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD64, PSYMBOL_INFOW);
using SymGetLineFromAddrW64Fn = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD, PIMAGEHLP_LINEW64);

struct DbgHelp {
    HMODULE module = nullptr;
    SymFromAddrWFn from_addr = nullptr;
    SymGetLineFromAddrW64Fn line_from_addr = nullptr;
};

template <class Fn>
Fn proc(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// Loaded once per process, at the first rendering.
const DbgHelp& dbghelp() {
    static DbgHelp loaded = [] {
        DbgHelp d;
        d.module = ::LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (d.module == nullptr) return d;
        auto set_options = proc<SymSetOptionsFn>(d.module, "SymSetOptions");
        auto initialize = proc<SymInitializeWFn>(d.module, "SymInitializeW");
        d.from_addr = proc<SymFromAddrWFn>(d.module, "SymFromAddrW");
        d.line_from_addr = proc<SymGetLineFromAddrW64Fn>(d.module, "SymGetLineFromAddrW64");
        if (set_options == nullptr || initialize == nullptr) {
            d.from_addr = nullptr;
            d.line_from_addr = nullptr;
            return d;
        }
        set_options(SYMOPT_UNDNAME | SYMOPT_LOAD_LINES | SYMOPT_DEFERRED_LOADS);
        if (!initialize(::GetCurrentProcess(), nullptr, TRUE)) {
            d.from_addr = nullptr;
            d.line_from_addr = nullptr;
        }
        return d;
    }();
    return loaded;
}

void append_utf8(std::string& out, const wchar_t* text) {
    int length = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return;
    std::string converted(static_cast<std::size_t>(length - 1), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, converted.data(), length, nullptr, nullptr);
    out += converted;
}

}  // namespace

BacktraceLock::BacktraceLock() {
    DWORD self = ::GetCurrentThreadId();
    if (lock_depth > 0 && lock_owner == self) {
        ++lock_depth;
        return;
    }
    ::AcquireSRWLockExclusive(&backtrace_lock);
    lock_owner = self;
    lock_depth = 1;
}

BacktraceLock::~BacktraceLock() {
    if (--lock_depth == 0) {
        lock_owner = 0;
        ::ReleaseSRWLockExclusive(&backtrace_lock);
    }
}

[[gnu::noinline]] std::size_t capture_stack(std::span<void*> frames, std::size_t skip) noexcept {
    // Leave out this function's own frame as well.
    USHORT count = ::RtlCaptureStackBackTrace(static_cast<DWORD>(skip + 1),
                                              static_cast<DWORD>(frames.size()), frames.data(),
                                              nullptr);
    return count;
}

std::string describe_frames(std::span<void* const> frames) {
    const DbgHelp& help = dbghelp();
    HANDLE process = ::GetCurrentProcess();
    std::string text;

    alignas(SYMBOL_INFOW) unsigned char storage[sizeof(SYMBOL_INFOW) + 512 * sizeof(wchar_t)];
    for (std::size_t i = 0; i < frames.size(); ++i) {
        std::string index = std::to_string(i);
        text.append(index.size() < 4 ? 4 - index.size() : 0, ' ');
        text += index;
        text += ": ";
        // A return address points after the call; look up the call itself.
        auto address = reinterpret_cast<DWORD64>(frames[i]) - 1;
        bool named = false;
        if (help.from_addr != nullptr) {
            auto* symbol = reinterpret_cast<SYMBOL_INFOW*>(storage);
            *symbol = SYMBOL_INFOW{};
            symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
            symbol->MaxNameLen = 512;
            DWORD64 displacement = 0;
            if (help.from_addr(process, address, &displacement, symbol)) {
                append_utf8(text, symbol->Name);
                named = true;
            }
        }
        if (!named) {
            char hex[2 + 16];
            auto end = std::to_chars(hex, hex + sizeof hex, reinterpret_cast<DWORD64>(frames[i]), 16);
            text += "0x";
            text.append(hex, end.ptr);
        }
        text += '\n';
        if (help.line_from_addr != nullptr) {
            IMAGEHLP_LINEW64 source{};
            source.SizeOfStruct = sizeof(source);
            DWORD column = 0;
            if (help.line_from_addr(process, address, &column, &source) &&
                source.FileName != nullptr) {
                text += "             at ";
                append_utf8(text, source.FileName);
                text += ':';
                text += std::to_string(source.LineNumber);
                text += '\n';
            }
        }
    }
    return text;
}

}  // namespace vek::platform
