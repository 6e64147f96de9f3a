#include "platform/fake/fake_platform.h"

#include "platform/utf16.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include <unistd.h>

namespace vek::platform::fake {

namespace {

struct HandleEntry {
    HandleKind kind;
    bool open;
};

struct Core {
    std::vector<Call> calls;
    std::map<std::string, std::deque<Dword>, std::less<>> failures;
    Dword last_error = 0;
    std::uintptr_t next_handle = 0x1000;
    std::map<Handle, HandleEntry> handles;
    std::size_t bad_closes = 0;
    std::map<Dword, std::u16string> system_texts;
    std::map<Dword, std::u16string> ntdll_texts;
    bool ntdll_loaded = true;
    bool thread_description_exported = true;
    SymbolLookupHook symbol_lookup_hook = nullptr;
    StdStream out;
    StdStream err;
};

void fill_default_texts(Core& core) {
    core.system_texts = {
        {2, u"The system cannot find the file specified.\r\n"},
        {5, u"Access is denied.\r\n"},
        {6, u"The handle is invalid.\r\n"},
        {32, u"The process cannot access the file because it is being used by another process.\r\n"},
        {120, u"This function is not supported on this system.\r\n"},
        {122, u"The data area passed to a system call is too small.\r\n"},
        {232, u"The pipe is being closed.\r\n"},
        {1056, u"An instance of the service is already running.\r\n"},
        {1060, u"The specified service does not exist as an installed service.\r\n"},
        {1072, u"The specified service has been marked for deletion.\r\n"},
        {1073, u"The specified service already exists.\r\n"},
        {1920, u"The file cannot be accessed by the system.\r\n"},
    };
    core.ntdll_texts = {
        {0xC0000022, u"{Access Denied}\r\nA process has requested access to an object, but has "
                     u"not been granted those access rights.\r\n"},
    };
}

Core make_core() {
    Core core;
    fill_default_texts(core);
    return core;
}

Core& core() {
    static Core instance = make_core();
    return instance;
}

// Fixed, recognisable values for the two standard handles.
Handle const stdout_handle = reinterpret_cast<Handle>(std::uintptr_t{0x11});
Handle const stderr_handle = reinterpret_cast<Handle>(std::uintptr_t{0x12});
Handle const ntdll_handle = reinterpret_cast<Handle>(std::uintptr_t{0x7ff00000});
Handle const kernel32_handle = reinterpret_cast<Handle>(std::uintptr_t{0x7fe00000});

StdStream* stream_of_handle(Handle handle) {
    if (handle == stdout_handle) return &core().out;
    if (handle == stderr_handle) return &core().err;
    return nullptr;
}

}  // namespace

const std::vector<Call>& calls() { return core().calls; }

void record(Call call) { core().calls.push_back(std::move(call)); }

std::vector<std::string> call_names() {
    std::vector<std::string> names;
    for (const Call& call : core().calls) names.push_back(call.function);
    return names;
}

std::vector<Call> calls_of(std::string_view function) {
    std::vector<Call> found;
    for (const Call& call : core().calls)
        if (call.function == function) found.push_back(call);
    return found;
}

void fail_next(std::string function, Dword code) {
    core().failures[std::move(function)].push_back(code);
}

std::optional<Dword> take_failure(std::string_view function) {
    auto it = core().failures.find(function);
    if (it == core().failures.end() || it->second.empty()) return std::nullopt;
    Dword code = it->second.front();
    it->second.pop_front();
    return code;
}

std::optional<std::u16string> text_of(const char16_t* text) {
    if (text == nullptr) return std::nullopt;
    return std::u16string(text);
}

std::uint64_t number_of(const void* pointer) {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(pointer));
}

bool injected_failure(std::string_view function) {
    std::optional<Dword> code = take_failure(function);
    if (code) core().last_error = *code;
    return code.has_value();
}

Handle open_handle(HandleKind kind) {
    core().next_handle += 0x10;
    Handle handle = reinterpret_cast<Handle>(core().next_handle);
    core().handles[handle] = HandleEntry{kind, true};
    return handle;
}

bool is_open(Handle handle, HandleKind kind) {
    auto it = core().handles.find(handle);
    return it != core().handles.end() && it->second.open && it->second.kind == kind;
}

bool close_handle(Handle handle, HandleKind kind) {
    auto it = core().handles.find(handle);
    if (it == core().handles.end() || !it->second.open || it->second.kind != kind) {
        ++core().bad_closes;
        return false;
    }
    it->second.open = false;
    return true;
}

std::size_t open_handle_count() {
    return static_cast<std::size_t>(std::count_if(
        core().handles.begin(), core().handles.end(),
        [](const auto& entry) { return entry.second.open; }));
}

std::size_t bad_close_count() { return core().bad_closes; }

void set_error_text(Dword id, std::u16string text) { core().system_texts[id] = std::move(text); }

void set_ntdll_error_text(Dword id, std::u16string text) {
    core().ntdll_texts[id] = std::move(text);
}

void set_ntdll_loaded(bool loaded) { core().ntdll_loaded = loaded; }

Handle ntdll_module() { return ntdll_handle; }

void set_thread_description_exported(bool exported) {
    core().thread_description_exported = exported;
}

Handle kernel32_module() { return kernel32_handle; }

StdStream& std_stream(Dword which) {
    return which == std_error_handle ? core().err : core().out;
}

void set_symbol_lookup_hook(SymbolLookupHook hook) { core().symbol_lookup_hook = hook; }
SymbolLookupHook symbol_lookup_hook() { return core().symbol_lookup_hook; }

void reset() {
    core() = make_core();
    reset_scm();
    reset_files();
}

}  // namespace vek::platform::fake

namespace vek::platform {

using namespace fake;

Dword GetLastError() { return core().last_error; }

void SetLastError(Dword code) { core().last_error = code; }

Dword FormatMessageW(Dword flags, const void* source, Dword message_id, Dword language_id,
                     char16_t* buffer, Dword size, void* arguments) {
    record({"FormatMessageW",
            {flags, number_of(source), message_id, language_id, size, number_of(arguments)},
            {}});
    if (injected_failure("FormatMessageW")) return 0;
    // A module's table first when one is named; with FROM_SYSTEM as well, an
    // identifier the module lacks is looked up in the system's table, as the
    // platform does.
    const std::u16string* text = nullptr;
    if ((flags & format_message_from_hmodule) != 0 && source == ntdll_handle) {
        auto it = core().ntdll_texts.find(message_id);
        if (it != core().ntdll_texts.end()) text = &it->second;
    }
    if (text == nullptr && (flags & format_message_from_system) != 0) {
        auto it = core().system_texts.find(message_id);
        if (it != core().system_texts.end()) text = &it->second;
    }
    if (text == nullptr) {
        SetLastError(317);  // ERROR_MR_MID_NOT_FOUND
        return 0;
    }
    if (text->size() + 1 > size) {
        SetLastError(error_insufficient_buffer);
        return 0;
    }
    std::copy(text->begin(), text->end(), buffer);
    buffer[text->size()] = u'\0';
    return static_cast<Dword>(text->size());
}

namespace {

// Module names compare as the platform compares them: ASCII letters in
// either case.
bool same_module_name(const char16_t* name, std::u16string_view expected) {
    if (name == nullptr) return false;
    std::u16string_view given(name);
    auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
    return std::equal(given.begin(), given.end(), expected.begin(), expected.end(),
                      [&](char16_t a, char16_t b) { return lower(a) == lower(b); });
}

std::int32_t fake_set_thread_description(Handle thread, const char16_t* description) {
    record({"SetThreadDescription", {number_of(thread)}, {text_of(description)}});
    return 0;
}

}  // namespace

Handle GetModuleHandleW(const char16_t* module_name) {
    record({"GetModuleHandleW", {}, {text_of(module_name)}});
    if (same_module_name(module_name, u"ntdll.dll") && core().ntdll_loaded) return ntdll_handle;
    if (same_module_name(module_name, u"kernel32.dll")) return kernel32_handle;
    SetLastError(126);  // ERROR_MOD_NOT_FOUND
    return nullptr;
}

Proc GetProcAddress(Handle module, const char* proc_name) {
    std::u16string name(proc_name, proc_name + std::strlen(proc_name));
    record({"GetProcAddress", {number_of(module)}, {name}});
    if (module == kernel32_handle && name == u"SetThreadDescription" &&
        core().thread_description_exported) {
        SetThreadDescriptionProc proc = fake_set_thread_description;
        return reinterpret_cast<Proc>(proc);
    }
    SetLastError(127);  // ERROR_PROC_NOT_FOUND
    return nullptr;
}

Handle GetCurrentThread() { return reinterpret_cast<Handle>(~std::uintptr_t{1}); }

Bool SetDefaultDllDirectories(Dword directory_flags) {
    record({"SetDefaultDllDirectories", {directory_flags}, {}});
    return 1;
}

Handle GetStdHandle(Dword std_handle) {
    StdStream& stream = std_stream(std_handle);
    if (!stream.attached) return nullptr;
    return std_handle == std_error_handle ? stderr_handle : stdout_handle;
}

Bool GetConsoleMode(Handle console, Dword* mode) {
    StdStream* stream = stream_of_handle(console);
    if (stream == nullptr || !stream->console) {
        SetLastError(error_invalid_handle);
        return 0;
    }
    *mode = 0x3;
    return 1;
}

namespace {

template <class Unit>
Bool fake_write(Handle handle, const Unit* buffer, Dword count, Dword* written, bool console) {
    StdStream* stream = stream_of_handle(handle);
    if (stream == nullptr || stream->console != console) {
        SetLastError(error_invalid_handle);
        return 0;
    }
    if (stream->write_failure) {
        SetLastError(*stream->write_failure);
        return 0;
    }
    stream->write_sizes.push_back(count);
    if (buffer == stream->partial_write_start) {
        SetLastError(error_no_progress);
        return 0;
    }
    Dword taken = stream->write_chunk == 0 ? count : std::min(count, stream->write_chunk);
    stream->partial_write_start = taken < count ? buffer : nullptr;
    if constexpr (sizeof(Unit) == 1) {
        stream->bytes.append(reinterpret_cast<const char*>(buffer), taken);
        if (stream->mirror_fd >= 0) (void)::write(stream->mirror_fd, buffer, taken);
    } else {
        // What the console shows: each write on its own, so a surrogate pair
        // split between two writes shows as two replacement characters.
        std::u16string shown(buffer, taken);
        if (!shown.empty() && is_low_surrogate(shown.front())) shown.front() = u'\uFFFD';
        if (!shown.empty() && is_high_surrogate(shown.back())) shown.back() = u'\uFFFD';
        stream->console_text += shown;
    }
    if (written != nullptr) *written = taken;
    return 1;
}

}  // namespace

Bool WriteConsoleW(Handle console, const char16_t* buffer, Dword chars_to_write,
                   Dword* chars_written, void*) {
    return fake_write(console, buffer, chars_to_write, chars_written, true);
}

Bool WriteFile(Handle file, const void* buffer, Dword bytes_to_write, Dword* bytes_written,
               void*) {
    return fake_write(file, static_cast<const unsigned char*>(buffer), bytes_to_write,
                      bytes_written, false);
}

}  // namespace vek::platform
