// Starts a program as a child process, with its standard streams, console,
// rights and time under the caller's control, and collects what it wrote and
// its exit code. For the test programs and the bundle's own programs alike:
// nothing here reports a failure itself, the result says what happened.
#pragma once

#include "windows_api.h"

#include <algorithm>
#include <cwchar>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace vek::windows_test {

// What the child gets as one of its standard streams.
enum class Stream {
    captured,   // a pipe read to its end (standard input: one at its end)
    closed,     // a pipe whose other end is closed before the child starts
    none,       // no handle at all (NULL)
    inherited,  // this process's own handle for the same stream
};

struct ProcessOptions {
    // What follows the program's quoted path on its command line, as the
    // program parses it (quote_argument quotes one argument).
    std::wstring arguments;
    // The child's current directory: deliberately not the program's own, so
    // a program that looks beside itself is not helped by it.
    std::wstring directory = L"C:\\";
    // Variables to set (name, value) or, with no value, to remove from this
    // process's own environment.
    std::vector<std::pair<std::wstring, std::optional<std::wstring>>> environment;
    Stream in = Stream::none;
    Stream out = Stream::captured;
    Stream err = Stream::captured;
    // When set, standard output and standard error both go to this handle
    // (as `>file 2>&1`), whether or not it was made inheritable.
    HANDLE output_file = nullptr;
    // By default the child has no console (DETACHED_PROCESS), so that a
    // stream withheld from it is really missing. A console of its own
    // without a window (CREATE_NO_WINDOW) is what services give the scripts
    // they run: Wine's cmd without any console cannot redirect its own
    // children's output. Or this process's console.
    enum class Console { detached, own_hidden, inherited } console = Console::detached;
    // Runs the child with this process's token restricted: the
    // Administrators group for deny only, as for a caller who is not an
    // administrator (Windows only; Wine grants every right all the same).
    bool without_administrators = false;
    // After this the child and everything it started are ended. The default
    // outlasts the test prefix's three-minute limit for a service start, so
    // that a start that fails is reported with the manager's own answer.
    DWORD time_limit_ms = 300000;
    // Called about every 10 ms while the child runs.
    std::function<void()> watch;
    // Without waiting the child is started and left to itself: no job, no
    // time limit, and a captured stream is closed as `closed`. (A program of
    // the host that Wine starts gives no process to wait for.)
    bool wait = true;
};

struct ProcessResult {
    bool started = false;
    DWORD start_error = 0;  // the platform's code when it could not be started
    bool timed_out = false;
    DWORD exit_code = 0xFFFFFFFF;
    std::string out;
    std::string err;
};

namespace detail {

// Closes a handle on scope exit (NULL and INVALID both mean none).
class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() { reset(); }
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE* out() { return &handle_; }
    void reset() {
        if (valid()) CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

// This process's environment block with `changes` applied, for
// CreateProcessW.
inline std::wstring environment_block(
    const std::vector<std::pair<std::wstring, std::optional<std::wstring>>>& changes) {
    std::wstring out;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
        std::wstring_view text(entry);
        // Names are compared without regard to case, as Windows does.
        bool changed = std::any_of(changes.begin(), changes.end(), [&](const auto& change) {
            const std::wstring& name = change.first;
            return text.size() > name.size() && text[name.size()] == L'=' &&
                   _wcsnicmp(entry, name.c_str(), name.size()) == 0;
        });
        if (!changed) (out += text) += L'\0';
    }
    FreeEnvironmentStringsW(block);
    for (const auto& [name, value] : changes)
        if (value) (out += name + L"=" + *value) += L'\0';
    return out + L'\0';
}

// This process's own token, with the Administrators group for deny only.
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

// `argument` quoted so that CommandLineToArgvW and the C runtimes read it
// back as it is: backslashes are doubled only where a quote follows them.
inline std::wstring quote_argument(std::wstring_view argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring_view::npos)
        return std::wstring(argument);
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, L'\\');
    return out + L'"';
}

// Starts `program` (a full path; one MAX_PATH long or longer by its \\?\
// form) and, unless told not to, waits for it within the time limit.
inline ProcessResult run_process(const std::wstring& program,
                                 const ProcessOptions& options = {}) {
    // Each stream the child gets is a handle of its own, inheritable, closed
    // here once it has been passed on; a captured stream's other end stays
    // here and is not inheritable.
    const Stream streams[3] = {options.in, options.out, options.err};
    const DWORD standard[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    detail::OwnedHandle theirs[3], ours[3];
    std::vector<HANDLE> inherited;
    for (int i = 0; i < 3; ++i) {
        HANDLE given = i > 0 && options.output_file ? options.output_file
                       : streams[i] == Stream::inherited ? GetStdHandle(standard[i])
                                                         : nullptr;
        if (given != nullptr && given != INVALID_HANDLE_VALUE) {
            DuplicateHandle(GetCurrentProcess(), given, GetCurrentProcess(), theirs[i].out(), 0,
                            TRUE, DUPLICATE_SAME_ACCESS);
        } else if (streams[i] == Stream::captured || streams[i] == Stream::closed) {
            HANDLE read = nullptr, write = nullptr;
            if (!CreatePipe(&read, &write, nullptr, 0)) continue;
            *theirs[i].out() = i == 0 ? read : write;
            *ours[i].out() = i == 0 ? write : read;
            SetHandleInformation(theirs[i].get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
            if (i == 0 || streams[i] == Stream::closed || !options.wait) ours[i].reset();
        }
        if (theirs[i].get() != nullptr) inherited.push_back(theirs[i].get());
    }

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup.StartupInfo;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = theirs[0].get();
    startup.StartupInfo.hStdOutput = theirs[1].get();
    startup.StartupInfo.hStdError = theirs[2].get();
    DWORD flags = CREATE_UNICODE_ENVIRONMENT;
    if (options.console == ProcessOptions::Console::detached) flags |= DETACHED_PROCESS;
    if (options.console == ProcessOptions::Console::own_hidden) flags |= CREATE_NO_WINDOW;
    // The child inherits exactly its streams, not whatever else of this
    // process's is inheritable at the moment (Wine 8 keeps to the list too,
    // measured).
    SIZE_T list_size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
    std::vector<char> list_buffer(list_size);
    auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_buffer.data());
    bool listed = !inherited.empty() && InitializeProcThreadAttributeList(list, 1, 0, &list_size);
    if (listed && UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                            inherited.data(), inherited.size() * sizeof(HANDLE),
                                            nullptr, nullptr)) {
        startup.StartupInfo.cb = sizeof startup;
        startup.lpAttributeList = list;
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }

    // Under Wine the desktop's own process (explorer.exe) is started by the
    // first program that needs the desktop, as that program's child: started
    // by this child, it would be in the job below and ended with it, under
    // the windows of every program still running. Asking for the desktop
    // first starts it out here (on Windows it is there already).
    if (options.wait) GetDesktopWindow();

    // The child runs in a job that ends everything it started with it; it
    // starts suspended until it is in the job, so nothing escapes it. A job
    // that cannot be had (one this process is in already refuses it on some
    // systems) leaves the child alone to be ended.
    detail::OwnedHandle job(options.wait ? CreateJobObjectW(nullptr, nullptr) : nullptr);
    if (job.get() != nullptr) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                sizeof limits);
        flags |= CREATE_SUSPENDED;
    }

    std::wstring command_line = L"\"" + program + L"\"";
    if (!options.arguments.empty()) command_line += L" " + options.arguments;
    std::wstring application = program.size() >= MAX_PATH ? L"\\\\?\\" + program : program;
    std::wstring environment = detail::environment_block(options.environment);
    PROCESS_INFORMATION process{};
    // Wine now and then fails a start with ERROR_INTERNAL_ERROR: the new
    // process ended before it had set itself up, and nothing of it ran (seen
    // once in eight bundle runs on a loaded machine). Such a start is tried
    // again, twice at most.
    BOOL created = FALSE;
    detail::OwnedHandle token(
        options.without_administrators ? detail::token_without_administrators() : nullptr);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (options.without_administrators) {
            // A restricted version of this process's own token needs no
            // privilege to start a process with.
            if (token.get() == nullptr) break;
            created = CreateProcessAsUserW(
                token.get(), application.c_str(), command_line.data(), nullptr, nullptr,
                !inherited.empty(), flags, environment.data(), options.directory.c_str(),
                &startup.StartupInfo, &process);
        } else {
            created = CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr,
                                     !inherited.empty(), flags, environment.data(),
                                     options.directory.c_str(), &startup.StartupInfo, &process);
        }
        if (created || GetLastError() != ERROR_INTERNAL_ERROR) break;
    }
    ProcessResult result;
    result.start_error = created ? 0 : GetLastError();
    if (listed) DeleteProcThreadAttributeList(list);
    // The child holds its own copies now; these must go, or the reads below
    // would never see the end.
    for (detail::OwnedHandle& handle : theirs) handle.reset();
    if (!created) return result;
    result.started = true;
    detail::OwnedHandle process_handle(process.hProcess);
    detail::OwnedHandle thread_handle(process.hThread);
    bool in_job = job.get() != nullptr && AssignProcessToJobObject(job.get(), process.hProcess);
    if (job.get() != nullptr) ResumeThread(process.hThread);
    if (!options.wait) return result;

    // Both pipes are drained at once: a child blocked on a full stderr pipe
    // would never finish writing stdout.
    auto drain = [](HANDLE pipe, std::string* into) {
        if (pipe == nullptr) return;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0)
            into->append(buffer, got);
    };
    std::thread out_reader(drain, ours[1].get(), &result.out);
    std::thread err_reader(drain, ours[2].get(), &result.err);

    const ULONGLONG deadline = GetTickCount64() + options.time_limit_ms;
    for (;;) {
        ULONGLONG now = GetTickCount64();
        DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (WaitForSingleObject(process.hProcess, options.watch ? std::min<DWORD>(left, 10)
                                                                : left) != WAIT_TIMEOUT)
            break;
        if (options.watch) options.watch();
        if (GetTickCount64() < deadline) continue;
        result.timed_out = true;
        if (!in_job || !TerminateJobObject(job.get(), 0xFFFFFFFF))
            TerminateProcess(process.hProcess, 0xFFFFFFFF);
        WaitForSingleObject(process.hProcess, INFINITE);
        break;
    }
    GetExitCodeProcess(process.hProcess, &result.exit_code);
    // Closing the job ends what the child left running, which might hold
    // the pipes open.
    job.reset();
    out_reader.join();
    err_reader.join();
    return result;
}

}  // namespace vek::windows_test
