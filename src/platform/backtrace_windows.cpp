// The backtrace on Windows: RtlCaptureStackBackTrace records the frames;
// DbgHelp resolves them, loaded only when a trace is first rendered and only
// from the system directory, never from the installer's own folder. The
// installer runs elevated (as an administrator, or as SYSTEM under a
// deployment tool): nothing a user could have put beside it or in the current
// folder, a DLL or a PDB, may be loaded or parsed with those rights.
#include "platform/backtrace.h"

#include "platform/buffer_read.h"

#include <windows.h>

#include <dbghelp.h>

#include <charconv>
#include <optional>
#include <string>

namespace vek::platform {

namespace {

// DbgHelp's functions must never run on two threads at once, and resolving
// switches the process's current folder. The installer has one thread, so the
// lock is never contended there; it keeps a second thread of any program that
// links this library (a test program, say) out while a trace is captured or
// resolved. Nothing takes it twice: neither capturing nor resolving makes an
// error.
SRWLOCK backtrace_lock = SRWLOCK_INIT;

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
    auto path = read_growing<wchar_t>([](wchar_t* buffer, Dword size) {
        return ::GetModuleFileNameW(nullptr, buffer, size);
    });
    if (!path) return {};
    std::size_t separator = path->find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring() : path->substr(0, separator);
}

// The variable's value; empty when it is not set.
std::wstring environment_variable(const wchar_t* name) {
    auto value = read_growing<wchar_t>([name](wchar_t* buffer, Dword size) {
        return ::GetEnvironmentVariableW(name, buffer, size);
    });
    return value ? std::move(*value) : std::wstring();
}

// Where DbgHelp looks for the PDB: the program's own folder first, then the
// symbol paths the user set (a folder, or a symbol server), and nowhere
// else. Left to itself DbgHelp would search the current folder first: a PDB
// there would be used in place of the program's own, giving wrong lines, and
// a file from a folder any user may write to would be parsed with the
// installer's rights.
std::wstring symbol_search_path(const std::wstring& folder) {
    std::wstring search_path = folder;
    // _NT_ALT_SYMBOL_PATH is the debuggers' name for the alternate path,
    // _NT_ALTERNATE_SYMBOL_PATH DbgHelp's own.
    for (const wchar_t* name :
         {L"_NT_SYMBOL_PATH", L"_NT_ALT_SYMBOL_PATH", L"_NT_ALTERNATE_SYMBOL_PATH"}) {
        std::wstring value = environment_variable(name);
        if (value.empty()) continue;
        if (!search_path.empty()) search_path += L';';
        search_path += value;
    }
    return search_path;
}

DbgHelp load_dbghelp(const std::wstring& folder) {
    DbgHelp d;
    d.module = ::LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (d.module == nullptr) return d;
    auto set_options = proc<SymSetOptionsFn>(d.module, "SymSetOptions");
    auto initialize = proc<SymInitializeWFn>(d.module, "SymInitializeW");
    if (set_options == nullptr || initialize == nullptr) return d;
    // Symbols are looked for only along the search path (not where the debug
    // record points), and DbgHelp never asks anything: nobody may be watching.
    set_options(SYMOPT_UNDNAME | SYMOPT_LOAD_LINES | SYMOPT_DEFERRED_LOADS | SYMOPT_IGNORE_CVREC |
                SYMOPT_FAIL_CRITICAL_ERRORS | SYMOPT_NO_PROMPTS);
    if (!initialize(::GetCurrentProcess(), symbol_search_path(folder).c_str(), TRUE)) return d;
    d.from_addr = proc<SymFromAddrWFn>(d.module, "SymFromAddrW");
    d.line_from_addr = proc<SymGetLineFromAddrW64Fn>(d.module, "SymGetLineFromAddrW64");
    d.inline_count = proc<SymAddrIncludeInlineTraceFn>(d.module, "SymAddrIncludeInlineTrace");
    d.query_inline = proc<SymQueryInlineTraceFn>(d.module, "SymQueryInlineTrace");
    d.from_inline = proc<SymFromInlineContextWFn>(d.module, "SymFromInlineContextW");
    d.line_from_inline =
        proc<SymGetLineFromInlineContextWFn>(d.module, "SymGetLineFromInlineContextW");
    return d;
}

// Loaded once per process, at the first rendering, with the program's own
// folder first on its search path.
const DbgHelp& dbghelp(const std::wstring& folder) {
    static const DbgHelp loaded = load_dbghelp(folder);
    return loaded;
}

// Makes `folder` the current folder while symbols are resolved, and puts the
// old one back. Before it searches its path, DbgHelp opens the PDB that the
// image's debug record names; the record names the file alone, which is then
// taken from the current folder. Windows' DbgHelp skips that with
// SYMOPT_IGNORE_CVREC, Wine's does not: with the program's own folder current,
// that first look finds the program's own PDB, or nothing. The current folder
// belongs to the process, not the thread: switching it is safe because the
// installer has one thread, and the backtrace lock keeps any other out.
class CurrentFolder {
public:
    explicit CurrentFolder(const std::wstring& folder) {
        if (folder.empty()) return;
        auto previous = read_growing<wchar_t>([](wchar_t* buffer, Dword size) {
            return ::GetCurrentDirectoryW(size, buffer);
        });
        if (!previous || previous->empty()) return;
        previous_ = std::move(*previous);
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

std::string utf8_of(const wchar_t* text) {
    int length = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return {};
    std::string converted(static_cast<std::size_t>(length - 1), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, converted.data(), length, nullptr, nullptr);
    return converted;
}

// The record DbgHelp writes a symbol into: SYMBOL_INFOW with room for its
// name after it.
class SymbolBuffer {
public:
    // The name that `lookup(record)` writes into a cleared record; empty when
    // it finds none.
    template <class Lookup>
    std::string name_from(Lookup lookup) {
        auto* symbol = reinterpret_cast<SYMBOL_INFOW*>(storage_);
        *symbol = SYMBOL_INFOW{};
        symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
        symbol->MaxNameLen = max_name_units;
        return lookup(symbol) ? utf8_of(symbol->Name) : std::string();
    }

private:
    static constexpr ULONG max_name_units = 512;
    alignas(SYMBOL_INFOW) unsigned char storage_[sizeof(SYMBOL_INFOW) +
                                                 max_name_units * sizeof(wchar_t)];
};

struct SourceLine {
    std::string file;
    DWORD line;
};

// What one frame line shows.
struct ResolvedFrame {
    std::string name;
    std::optional<SourceLine> source;
};

// The source line that `lookup(offset, line)` finds, if it finds one.
template <class Lookup>
std::optional<SourceLine> source_from(Lookup lookup) {
    IMAGEHLP_LINEW64 line{};
    line.SizeOfStruct = sizeof(line);
    // Where the address lies within its line, in bytes: the calls must have
    // somewhere to write it, and the trace shows lines only.
    DWORD offset_in_line = 0;
    if (!lookup(&offset_in_line, &line) || line.FileName == nullptr) return std::nullopt;
    return SourceLine{utf8_of(line.FileName), line.LineNumber};
}

// The functions inlined at one address. DbgHelp numbers their inline contexts
// consecutively from the innermost outward: `first + k` is the k-th inlined
// function, and `first + count` the function they were all folded into, whose
// line there is that of the call into the outermost of them.
struct InlineContexts {
    DWORD first;
    DWORD count;
    DWORD outer() const { return first + count; }
};

std::optional<InlineContexts> inline_contexts(const DbgHelp& help, HANDLE process,
                                              DWORD64 address) {
    if (!help.resolves_inline_frames()) return std::nullopt;
    InlineContexts contexts{0, help.inline_count(process, address)};
    if (contexts.count == 0) return std::nullopt;
    // The frame index it gives as well is of no use here.
    DWORD frame_index = 0;
    if (!help.query_inline(process, address, 0, address, address, &contexts.first, &frame_index))
        return std::nullopt;
    return contexts;
}

ResolvedFrame resolve_inlined(const DbgHelp& help, HANDLE process, DWORD64 address,
                              DWORD context, SymbolBuffer& symbol) {
    ResolvedFrame frame;
    frame.name = symbol.name_from([&](SYMBOL_INFOW* record) {
        return help.from_inline(process, address, context, nullptr, record);
    });
    if (frame.name.empty()) frame.name = "<inlined>";
    frame.source = source_from([&](DWORD* offset, IMAGEHLP_LINEW64* line) {
        return help.line_from_inline(process, address, context, 0, offset, line);
    });
    return frame;
}

// The function the code at `address` really belongs to; named by the return
// address when no symbol is found.
ResolvedFrame resolve_outer(const DbgHelp& help, HANDLE process, DWORD64 address,
                            void* return_address, std::optional<InlineContexts> inlined,
                            SymbolBuffer& symbol) {
    ResolvedFrame frame;
    if (help.from_addr != nullptr) {
        frame.name = symbol.name_from([&](SYMBOL_INFOW* record) {
            return help.from_addr(process, address, nullptr, record);
        });
    }
    if (frame.name.empty()) {
        char hex[2 + 16];
        auto end =
            std::to_chars(hex, hex + sizeof hex, reinterpret_cast<DWORD64>(return_address), 16);
        frame.name = "0x" + std::string(hex, end.ptr);
    }
    if (inlined) {
        frame.source = source_from([&](DWORD* offset, IMAGEHLP_LINEW64* line) {
            return help.line_from_inline(process, address, inlined->outer(), 0, offset, line);
        });
    } else if (help.line_from_addr != nullptr) {
        frame.source = source_from([&](DWORD* offset, IMAGEHLP_LINEW64* line) {
            return help.line_from_addr(process, address, offset, line);
        });
    }
    return frame;
}

// One frame's lines: "  <index>: <name>" and, where known,
// "             at <file>:<line>".
void append_frame(std::string& text, std::size_t index, const ResolvedFrame& frame) {
    std::string number = std::to_string(index);
    text.append(number.size() < 4 ? 4 - number.size() : 0, ' ');
    text += number;
    text += ": ";
    text += frame.name;
    text += '\n';
    if (frame.source) {
        text += "             at ";
        text += frame.source->file;
        text += ':';
        text += std::to_string(frame.source->line);
        text += '\n';
    }
}

}  // namespace

BacktraceLock::BacktraceLock() { ::AcquireSRWLockExclusive(&backtrace_lock); }

BacktraceLock::~BacktraceLock() { ::ReleaseSRWLockExclusive(&backtrace_lock); }

[[gnu::noinline]] std::size_t capture_stack(std::span<void*> frames, std::size_t skip) noexcept {
    // Leave out this function's own frame as well.
    USHORT count = ::RtlCaptureStackBackTrace(static_cast<DWORD>(skip + 1),
                                              static_cast<DWORD>(frames.size()), frames.data(),
                                              nullptr);
    return count;
}

std::string describe_frames(std::span<void* const> frames) {
    std::wstring folder = own_folder();
    // Without the program's own folder current, no symbol is looked up at
    // all: the frames are shown as addresses.
    CurrentFolder own(folder);
    static const DbgHelp none;
    const DbgHelp& help = own.entered() ? dbghelp(folder) : none;
    HANDLE process = ::GetCurrentProcess();
    SymbolBuffer symbol;
    std::string text;
    std::size_t index = 0;
    for (void* frame : frames) {
        // A return address points after the call; look up the call itself.
        auto address = reinterpret_cast<DWORD64>(frame) - 1;
        // Functions inlined at the call come first, innermost first, each a
        // frame of its own, as Windows debuggers show them: the innermost is
        // the one that made the error, though the compiler folded it into its
        // caller.
        std::optional<InlineContexts> inlined = inline_contexts(help, process, address);
        for (DWORD k = 0; inlined && k < inlined->count; ++k)
            append_frame(text, index++,
                         resolve_inlined(help, process, address, inlined->first + k, symbol));
        append_frame(text, index++, resolve_outer(help, process, address, frame, inlined, symbol));
    }
    return text;
}

}  // namespace vek::platform
