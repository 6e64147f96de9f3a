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
// The inline-frame functions (DbgHelp 6.2 on, every Windows 10 has them;
// MinGW-w64's dbghelp.h does not declare them).
using SymAddrIncludeInlineTraceFn = DWORD(WINAPI*)(HANDLE, DWORD64);
using SymQueryInlineTraceFn = BOOL(WINAPI*)(HANDLE, DWORD64, DWORD, DWORD64, DWORD64, LPDWORD,
                                            LPDWORD);
using SymFromInlineContextWFn = BOOL(WINAPI*)(HANDLE, DWORD64, ULONG, PDWORD64, PSYMBOL_INFOW);
using SymGetLineFromInlineContextWFn = BOOL(WINAPI*)(HANDLE, DWORD64, ULONG, DWORD64, PDWORD,
                                                     PIMAGEHLP_LINEW64);

struct DbgHelp {
    HMODULE module = nullptr;
    SymFromAddrWFn from_addr = nullptr;
    SymGetLineFromAddrW64Fn line_from_addr = nullptr;
    SymAddrIncludeInlineTraceFn inline_count = nullptr;
    SymQueryInlineTraceFn query_inline = nullptr;
    SymFromInlineContextWFn from_inline = nullptr;
    SymGetLineFromInlineContextWFn line_from_inline = nullptr;

    bool resolves_inline_frames() const {
        return inline_count != nullptr && query_inline != nullptr && from_inline != nullptr &&
               line_from_inline != nullptr;
    }
};

template <class Fn>
Fn proc(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// The folder of the running program, without a final separator; empty when
// it cannot be had.
std::wstring own_folder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        if (path.size() >= 0x8000) return {};
        path.resize(path.size() * 2);
    }
    std::size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

// Appends ";" and the variable's value when it is set and not empty.
void append_variable(std::wstring& search_path, const wchar_t* name) {
    DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (size <= 1) return;
    std::wstring value(size, L'\0');
    DWORD length = ::GetEnvironmentVariableW(name, value.data(), size);
    if (length == 0 || length >= size) return;
    value.resize(length);
    if (!search_path.empty()) search_path += L';';
    search_path += value;
}

// Where DbgHelp looks for the PDB: the program's own folder first, then the
// symbol paths the user set (a folder, or a symbol server), and nowhere
// else. Left to itself DbgHelp would search the current folder first: a PDB
// there would be used in place of the program's own, giving wrong lines, and
// a file from a folder any user may write to would be parsed by a process
// that runs as SYSTEM.
std::wstring symbol_search_path(const std::wstring& folder) {
    std::wstring search_path = folder;
    append_variable(search_path, L"_NT_SYMBOL_PATH");
    // The debuggers' name for the alternate path, and DbgHelp's own.
    append_variable(search_path, L"_NT_ALT_SYMBOL_PATH");
    append_variable(search_path, L"_NT_ALTERNATE_SYMBOL_PATH");
    return search_path;
}

// Loaded once per process, at the first rendering.
const DbgHelp& dbghelp() {
    static DbgHelp loaded = [] {
        DbgHelp d;
        d.module = ::LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (d.module == nullptr) return d;
        auto set_options = proc<SymSetOptionsFn>(d.module, "SymSetOptions");
        auto initialize = proc<SymInitializeWFn>(d.module, "SymInitializeW");
        if (set_options == nullptr || initialize == nullptr) return d;
        // Symbols are looked for only along the search path (not where the
        // debug record points), and DbgHelp never asks anything: nobody may
        // be watching.
        set_options(SYMOPT_UNDNAME | SYMOPT_LOAD_LINES | SYMOPT_DEFERRED_LOADS |
                    SYMOPT_IGNORE_CVREC | SYMOPT_FAIL_CRITICAL_ERRORS | SYMOPT_NO_PROMPTS);
        std::wstring search_path = symbol_search_path(own_folder());
        if (!initialize(::GetCurrentProcess(), search_path.c_str(), TRUE)) return d;
        d.from_addr = proc<SymFromAddrWFn>(d.module, "SymFromAddrW");
        d.line_from_addr = proc<SymGetLineFromAddrW64Fn>(d.module, "SymGetLineFromAddrW64");
        d.inline_count = proc<SymAddrIncludeInlineTraceFn>(d.module, "SymAddrIncludeInlineTrace");
        d.query_inline = proc<SymQueryInlineTraceFn>(d.module, "SymQueryInlineTrace");
        d.from_inline = proc<SymFromInlineContextWFn>(d.module, "SymFromInlineContextW");
        d.line_from_inline =
            proc<SymGetLineFromInlineContextWFn>(d.module, "SymGetLineFromInlineContextW");
        return d;
    }();
    return loaded;
}

// Makes `folder` the current folder while symbols are resolved, and puts
// the old one back. Before it searches its path, DbgHelp opens the PDB that
// the image's debug record names; the record names the file alone, which is
// then taken from the current folder. Windows' DbgHelp skips that with
// SYMOPT_IGNORE_CVREC, Wine's does not: with the program's own folder
// current, that first look finds the program's own PDB, or nothing.
class CurrentFolder {
public:
    explicit CurrentFolder(const std::wstring& folder) {
        DWORD size = ::GetCurrentDirectoryW(0, nullptr);
        if (size == 0 || folder.empty()) return;
        previous_.resize(size);
        DWORD length = ::GetCurrentDirectoryW(size, previous_.data());
        if (length == 0 || length >= size) return;
        previous_.resize(length);
        entered_ = ::SetCurrentDirectoryW(folder.c_str()) != 0;
    }
    ~CurrentFolder() {
        if (entered_) (void)::SetCurrentDirectoryW(previous_.c_str());
    }
    CurrentFolder(const CurrentFolder&) = delete;
    CurrentFolder& operator=(const CurrentFolder&) = delete;

    bool entered() const { return entered_; }

private:
    std::wstring previous_;
    bool entered_ = false;
};

void append_utf8(std::string& out, const wchar_t* text) {
    int length = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return;
    std::string converted(static_cast<std::size_t>(length - 1), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, converted.data(), length, nullptr, nullptr);
    out += converted;
}

// One frame's lines: "  <index>: <name>" and, where known,
// "             at <file>:<line>".
void append_frame(std::string& text, std::size_t index, const std::string& name,
                  const IMAGEHLP_LINEW64* source) {
    std::string number = std::to_string(index);
    text.append(number.size() < 4 ? 4 - number.size() : 0, ' ');
    text += number;
    text += ": ";
    text += name;
    text += '\n';
    if (source != nullptr && source->FileName != nullptr) {
        text += "             at ";
        append_utf8(text, source->FileName);
        text += ':';
        text += std::to_string(source->LineNumber);
        text += '\n';
    }
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
    // Without the program's own folder current, no symbol is looked up at
    // all: the frames are shown as addresses.
    CurrentFolder own(own_folder());
    static const DbgHelp none;
    const DbgHelp& help = own.entered() ? dbghelp() : none;
    HANDLE process = ::GetCurrentProcess();
    std::string text;
    std::size_t index = 0;

    alignas(SYMBOL_INFOW) unsigned char storage[sizeof(SYMBOL_INFOW) + 512 * sizeof(wchar_t)];
    auto* symbol = reinterpret_cast<SYMBOL_INFOW*>(storage);
    auto clear_symbol = [&] {
        *symbol = SYMBOL_INFOW{};
        symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
        symbol->MaxNameLen = 512;
    };
    auto name_of = [&](bool found) {
        std::string name;
        if (found) append_utf8(name, symbol->Name);
        return name;
    };

    for (void* frame : frames) {
        // A return address points after the call; look up the call itself.
        auto address = reinterpret_cast<DWORD64>(frame) - 1;
        DWORD64 displacement = 0;
        DWORD column = 0;

        // Functions inlined at the call, innermost first, each a frame of
        // its own, as Windows debuggers show them: the innermost is the one
        // that made the error, though the compiler folded it into its caller.
        DWORD inlined = 0;
        DWORD context = 0;
        if (help.resolves_inline_frames()) {
            inlined = help.inline_count(process, address);
            DWORD frame_index = 0;
            if (inlined > 0 &&
                !help.query_inline(process, address, 0, address, address, &context, &frame_index))
                inlined = 0;
        }
        for (DWORD k = 0; k < inlined; ++k) {
            clear_symbol();
            std::string name =
                name_of(help.from_inline(process, address, context + k, &displacement, symbol));
            IMAGEHLP_LINEW64 source{};
            source.SizeOfStruct = sizeof(source);
            bool lined =
                help.line_from_inline(process, address, context + k, 0, &column, &source) != 0;
            append_frame(text, index++, name.empty() ? "<inlined>" : name,
                         lined ? &source : nullptr);
        }

        // The function the code really belongs to.
        std::string name;
        if (help.from_addr != nullptr) {
            clear_symbol();
            name = name_of(help.from_addr(process, address, &displacement, symbol));
        }
        if (name.empty()) {
            char hex[2 + 16];
            auto end = std::to_chars(hex, hex + sizeof hex, reinterpret_cast<DWORD64>(frame), 16);
            name = "0x";
            name.append(hex, end.ptr);
        }
        IMAGEHLP_LINEW64 source{};
        source.SizeOfStruct = sizeof(source);
        bool lined = false;
        if (inlined > 0) {
            // The line of the call into the outermost inlined function.
            lined = help.line_from_inline(process, address, context + inlined, 0, &column,
                                          &source) != 0;
        } else if (help.line_from_addr != nullptr) {
            lined = help.line_from_addr(process, address, &column, &source) != 0;
        }
        append_frame(text, index++, name, lined ? &source : nullptr);
    }
    return text;
}

}  // namespace vek::platform
