// The fake Win32 surface for the Linux build: what the program's platform
// calls are expected to do, held in memory, programmable by tests and
// recording every call with its arguments.
//
// The core (this file, fake_platform.cpp) holds the call log, the injected
// failures, the last-error code, the handle table, the error-text tables and
// the standard streams. The service manager and the file system have their own
// state, in fake_scm.h and fake_files.h.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vek::platform::fake {

// One platform call as the fake saw it. Numbers (masks, counts, levels, flags,
// handles as integers) and strings are each kept in parameter order; a string
// that was a NULL pointer is nullopt. A double-terminated list is kept whole,
// with its inner NULs, without its final NUL.
struct Call {
    std::string function;
    std::vector<std::uint64_t> numbers;
    std::vector<std::optional<std::u16string>> texts;
};

const std::vector<Call>& calls();
void record(Call call);
// Just the function names of the log, in order.
std::vector<std::string> call_names();
// The calls of one function, in order.
std::vector<Call> calls_of(std::string_view function);

// Makes the next call of `function` fail with `code` (queued: several calls
// fail in turn).
void fail_next(std::string function, Dword code);
// Used by the fake functions: the injected failure of this call, if any.
std::optional<Dword> take_failure(std::string_view function);
// As take_failure, and sets the last-error code to the injected one: true when
// this call is to fail.
bool injected_failure(std::string_view function);

// Reads a NUL-terminated string as the fake records it (nullopt for NULL).
std::optional<std::u16string> text_of(const char16_t* text);
std::uint64_t number_of(const void* pointer);

// Handle table. Every handle the fake gives out is registered with its kind;
// closing checks kind and state, so a double close or a close of the wrong
// kind is counted, never silently accepted.
enum class HandleKind { manager, service, file, find };
Handle open_handle(HandleKind kind);
bool is_open(Handle handle, HandleKind kind);
// Closes a handle; false when it is not an open handle of that kind.
bool close_handle(Handle handle, HandleKind kind);
std::size_t open_handle_count();
std::size_t bad_close_count();

// Error texts for FormatMessageW: the system table (FORMAT_MESSAGE_FROM_SYSTEM)
// and the NTDLL module's table. Both start with a few of the platform's texts,
// each ending in "\r\n" as the platform's do. Asked with both flags, an
// identifier that NTDLL's table lacks is looked up in the system's, as on
// Windows.
void set_error_text(Dword id, std::u16string text);
void set_ntdll_error_text(Dword id, std::u16string text);
// Whether GetModuleHandleW(u"NTDLL.DLL") finds the module (default: yes).
void set_ntdll_loaded(bool loaded);
Handle ntdll_module();
// GetModuleHandleW(u"kernel32.dll") finds kernel32, always. Whether its
// GetProcAddress gives SetThreadDescription, as Windows 10 from 1607 does
// (default: yes); the function it gives records its call.
void set_thread_description_exported(bool exported);
Handle kernel32_module();

// The standard streams. A stream that is not attached has no handle
// (GetStdHandle gives NULL); a console stream takes WriteConsoleW and records
// UTF-16, any other stream takes WriteFile and records bytes. A failing stream
// fails every write with its code.
// ERROR_GEN_FAILURE: what a write that repeats a partial one fails with.
inline constexpr Dword error_no_progress = 31;
struct StdStream {
    bool attached = true;
    bool console = false;
    std::optional<Dword> write_failure;
    // At most this many bytes or units are taken per write call (0: all).
    Dword write_chunk = 0;
    // Where the last write that took less than it was given began. A write
    // that begins there again means the caller made no progress: it fails
    // with error_no_progress, so that such a caller ends instead of looping.
    const void* partial_write_start = nullptr;
    // When set, everything written is also written to this file descriptor
    // (a death test's child shows its standard error this way).
    int mirror_fd = -1;
    std::string bytes;
    // What a console shows: a surrogate half that a write ends with, or
    // begins with, without its partner shows as U+FFFD.
    std::u16string console_text;
    // The size asked for in each write call, in order.
    std::vector<Dword> write_sizes;
};
StdStream& std_stream(Dword which);

// Called by the Linux stand-in for the backtrace's symbol lookup just before
// it looks up the first symbol (default: none). A test can end the process
// there, as a damaged PDB can make DbgHelp do.
using SymbolLookupHook = void (*)();
void set_symbol_lookup_hook(SymbolLookupHook hook);
SymbolLookupHook symbol_lookup_hook();

// Clears everything above and the manager and file-system state.
void reset();

// Hooks of the service-manager and file-system parts, called by reset().
void reset_scm();
void reset_files();

}  // namespace vek::platform::fake
