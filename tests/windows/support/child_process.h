// Runs a program as a child process with its standard streams under the
// test's control, and collects what it wrote and its exit code.
#pragma once

#include "bundle.h"
#include "text.h"
#include "windows_api.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vek::windows_test {

// What the child gets as one of its standard streams.
enum class Stream {
    captured,   // a pipe the test reads to the end
    closed,     // a pipe whose read end is closed before the child starts
    none,       // no handle at all (NULL)
};

struct ChildOptions {
    Stream out = Stream::captured;
    Stream err = Stream::captured;
    // Variables to set (name, value) or, with no value, to remove from the
    // test's own environment.
    std::vector<std::pair<std::wstring, std::optional<std::wstring>>> environment;
    // The child's current directory: deliberately not the program's own, so
    // a program that looks beside itself is not helped by it.
    std::wstring directory = L"C:\\";
    // What follows the program's quoted path on its command line, as the
    // program parses it.
    std::wstring arguments;
    // A console of the child's own, without a window (CREATE_NO_WINDOW), as
    // services give the scripts they run: Wine's cmd without any console
    // cannot redirect its own children's output. By default the child has
    // none (DETACHED_PROCESS).
    bool own_console = false;
    // Runs the child with the test's own token restricted: the
    // Administrators group for deny only, as for a caller who is not an
    // administrator (Windows only; Wine grants every right all the same).
    bool without_administrators = false;
};

struct ChildResult {
    DWORD exit_code = 0;
    std::string out;
    std::string err;
};

namespace detail {

// Closes a handle on scope exit (tests only; NULL and INVALID both mean none).
class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() { reset(); }
    HANDLE get() const { return handle_; }
    HANDLE* out() { return &handle_; }
    void reset() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

// The test's environment block with `changes` applied, for CreateProcessW.
inline std::wstring environment_block(
    const std::vector<std::pair<std::wstring, std::optional<std::wstring>>>& changes) {
    std::vector<std::wstring> entries;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
        std::wstring text(entry);
        bool replaced = false;
        for (const auto& [name, value] : changes) {
            // Names are compared without regard to case, as Windows does.
            if (text.size() > name.size() && text[name.size()] == L'=' &&
                _wcsnicmp(text.c_str(), name.c_str(), name.size()) == 0)
                replaced = true;
        }
        if (!replaced) entries.push_back(std::move(text));
    }
    FreeEnvironmentStringsW(block);
    for (const auto& [name, value] : changes)
        if (value) entries.push_back(name + L"=" + *value);

    std::wstring out;
    for (const std::wstring& entry : entries) {
        out += entry;
        out += L'\0';
    }
    out += L'\0';
    return out;
}

}  // namespace detail

// The Unix path of a Windows path, as Wine maps it; empty when this is not
// Wine or the path has no Unix form.
inline std::string host_path(const std::wstring& path) {
    using Convert = char*(__cdecl*)(const wchar_t*);
    auto convert = reinterpret_cast<Convert>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (convert == nullptr) return {};
    char* converted = convert(path.c_str());
    if (converted == nullptr) return {};
    std::string out = converted;
    HeapFree(GetProcessHeap(), 0, converted);
    return out;
}

// The whole content of a file, or nothing when it cannot be read.
inline std::optional<std::string> file_content(const std::wstring& path) {
    detail::OwnedHandle file(CreateFileW((L"\\\\?\\" + path).c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) return std::nullopt;
    std::string content;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
        content.append(buffer, got);
    return content;
}

// Runs `program` from the host's shell, as `wine <program>`, with its
// standard output and standard error in files. For programs that Wine's
// CreateProcessW cannot start (see run_child). The shell is started through
// CreateProcessW too, which Wine allows for host programs; but it gets no
// process handle on the Windows side and cannot write to Windows pipes, so
// everything comes back through files, the exit code last.
inline ChildResult run_child_from_host(const std::wstring& program, DWORD timeout_ms) {
    const std::wstring out_file = program + L".out", err_file = program + L".err",
                       code_file = program + L".exit-code";
    for (const std::wstring* file : {&out_file, &err_file, &code_file})
        DeleteFileW((L"\\\\?\\" + *file).c_str());
    std::string base = host_path(program);
    if (base.empty()) {
        ADD_FAILURE() << "no host path for " << utf8(program)
                      << ": a program this deep can only be started under Wine";
        return {0xFFFFFFFF, {}, {}};
    }
    std::wstring command_line =
        L"/bin/sh -c \"wine \\\"$0\\\" >\\\"$1.out\\\" 2>\\\"$1.err\\\"; "
        L"echo $? >\\\"$1.exit-code\\\"\" \"" +
        program + L"\" \"" + wide(base) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\bin\\sh", command_line.data(), nullptr, nullptr, FALSE,
                        DETACHED_PROCESS, nullptr, nullptr, &startup, &process)) {
        ADD_FAILURE() << "the host shell could not be started: " << GetLastError();
        return {0xFFFFFFFF, {}, {}};
    }
    detail::OwnedHandle process_handle(process.hProcess);
    detail::OwnedHandle thread_handle(process.hThread);

    // The exit code is written as the shell's last act: digits and a line
    // feed.
    ULONGLONG deadline = GetTickCount64() + timeout_ms;
    std::optional<std::string> code = file_content(code_file);
    while (!(code && code->ends_with('\n')) && GetTickCount64() < deadline) {
        Sleep(50);
        code = file_content(code_file);
    }
    if (!(code && code->ends_with('\n'))) {
        ADD_FAILURE() << utf8(program) << " did not end within " << timeout_ms << " ms";
        return {0xFFFFFFFF, {}, {}};
    }
    return {static_cast<DWORD>(std::stoul(*code)), file_content(out_file).value_or(""),
            file_content(err_file).value_or("")};
}

namespace detail {

// The test's own token, with the Administrators group for deny only.
inline HANDLE token_without_administrators() {
    HANDLE own = nullptr, restricted = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(),
                          TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_QUERY, &own))
        return nullptr;
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sid_size = sizeof sid;
    if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &sid_size)) {
        SID_AND_ATTRIBUTES deny{sid, 0};
        if (!CreateRestrictedToken(own, 0, 1, &deny, 0, nullptr, 0, nullptr, &restricted))
            restricted = nullptr;
    }
    CloseHandle(own);
    return restricted;
}

}  // namespace detail

// Starts `program` (a full path), waits up to `timeout_ms` for it, and gives
// its exit code and everything it wrote to the captured streams; nothing,
// with the platform's code as the last error, when it cannot be started. A
// child that does not end in time is ended and reported as a failure of the
// test, with exit code 0xFFFFFFFF. The default outlasts the test prefix's
// three-minute limit for a service start, so that a start that fails is
// reported with the manager's own answer.
//
// Wine's CreateProcessW refuses a program whose path is MAX_PATH long or
// longer, in every form (plain and \\?\ form: error 2; without an
// application name: 123). Under Wine such a program is run from the host's
// shell instead, with its streams captured in files (run_child_from_host);
// elsewhere it is started by its \\?\ form.
inline std::optional<ChildResult> try_run_child(const std::wstring& program,
                                                const ChildOptions& options = {},
                                                DWORD timeout_ms = 300000) {
    bool deep = program.size() >= MAX_PATH;
    if (deep && under_wine()) {
        if (options.out != Stream::captured || options.err != Stream::captured ||
            !options.environment.empty() || !options.arguments.empty() || options.own_console ||
            options.without_administrators) {
            ADD_FAILURE() << "a program this deep runs only with the default options";
            return ChildResult{0xFFFFFFFF, {}, {}};
        }
        return run_child_from_host(program, timeout_ms);
    }

    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};

    struct Pipe {
        detail::OwnedHandle read, write;
    };
    Pipe out_pipe, err_pipe;
    auto prepare = [&](Stream stream, Pipe& pipe) -> HANDLE {
        if (stream == Stream::none) return nullptr;
        // Only the child's end is inherited.
        if (!CreatePipe(pipe.read.out(), pipe.write.out(), &inheritable, 0)) return nullptr;
        SetHandleInformation(pipe.read.get(), HANDLE_FLAG_INHERIT, 0);
        if (stream == Stream::closed) pipe.read.reset();
        return pipe.write.get();
    };

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = prepare(options.out, out_pipe);
    startup.hStdError = prepare(options.err, err_pipe);

    std::wstring command_line = L"\"" + program + L"\"";
    if (!options.arguments.empty()) command_line += L" " + options.arguments;
    std::wstring application = deep ? L"\\\\?\\" + program : program;
    std::wstring environment = detail::environment_block(options.environment);
    PROCESS_INFORMATION process{};
    // No console of the test's to fall back on (none at all, or the child's
    // own), so a stream the test withholds is really missing.
    DWORD flags = CREATE_UNICODE_ENVIRONMENT |
                  (options.own_console ? CREATE_NO_WINDOW : DETACHED_PROCESS);
    BOOL created = FALSE;
    if (options.without_administrators) {
        // A restricted version of the caller's own token needs no privilege
        // to start a process with.
        detail::OwnedHandle token(detail::token_without_administrators());
        if (token.get() == nullptr) {
            ADD_FAILURE() << "no restricted token: error " << GetLastError();
            return ChildResult{0xFFFFFFFF, {}, {}};
        }
        created = CreateProcessAsUserW(token.get(), application.c_str(), command_line.data(),
                                       nullptr, nullptr, TRUE, flags, environment.data(),
                                       options.directory.c_str(), &startup, &process);
    } else {
        created = CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                 flags, environment.data(), options.directory.c_str(), &startup,
                                 &process);
    }
    DWORD create_error = GetLastError();
    // The child holds its own copies now; the test's copies of the write ends
    // must go, or the reads below would never see the end.
    out_pipe.write.reset();
    err_pipe.write.reset();
    if (!created) {
        SetLastError(create_error);
        return std::nullopt;
    }
    ChildResult result;
    detail::OwnedHandle process_handle(process.hProcess);
    detail::OwnedHandle thread_handle(process.hThread);

    // Both pipes are drained at once: a child blocked on a full stderr pipe
    // would never finish writing stdout.
    auto drain = [](HANDLE pipe, std::string& into) {
        if (pipe == nullptr) return;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0)
            into.append(buffer, got);
    };
    std::thread out_reader(drain, out_pipe.read.get(), std::ref(result.out));
    std::thread err_reader(drain, err_pipe.read.get(), std::ref(result.err));

    if (WaitForSingleObject(process.hProcess, timeout_ms) != WAIT_OBJECT_0) {
        ADD_FAILURE() << utf8(program) << " did not end within " << timeout_ms << " ms";
        TerminateProcess(process.hProcess, 0xFFFFFFFF);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    out_reader.join();
    err_reader.join();
    GetExitCodeProcess(process.hProcess, &result.exit_code);
    return result;
}

// As try_run_child, for a program that must start: one that cannot is a
// failure of the test, with exit code 0xFFFFFFFF.
inline ChildResult run_child(const std::wstring& program, const ChildOptions& options = {},
                             DWORD timeout_ms = 300000) {
    std::optional<ChildResult> result = try_run_child(program, options, timeout_ms);
    if (result) return *result;
    ADD_FAILURE() << "CreateProcessW failed with " << GetLastError() << " for " << utf8(program);
    return ChildResult{0xFFFFFFFF, {}, {}};
}

}  // namespace vek::windows_test
