// Runs a program as a test's child process (process.h), and reports a
// child that cannot be started or does not end in time as a failure of the
// test.
#pragma once

#include "bundle.h"
#include "process.h"
#include "text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vek::windows_test {

using ChildOptions = ProcessOptions;

using ChildResult = ProcessResult;

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

// Runs `program` from the host's shell, as `wine <program>`, with its
// standard output and standard error in files. For programs that Wine's
// CreateProcessW cannot start (see try_run_child). The shell is started
// through CreateProcessW too, which Wine allows for host programs; but it
// gets no process handle on the Windows side and cannot write to Windows
// pipes, so everything comes back through files, the exit code last. The
// environment reaches the program through the shell and `wine`; the
// arguments are read by the shell, so only plain words are taken.
inline ChildResult run_child_from_host(const std::wstring& program, const ChildOptions& options) {
    if (options.in != Stream::none || options.out != Stream::captured ||
        options.err != Stream::captured || options.output_file != nullptr ||
        options.console != ProcessOptions::Console::detached ||
        options.without_administrators || options.watch || !options.wait ||
        options.arguments.find_first_of(L"\"'\\$`;&|<>()[]{}*?~#!") != std::wstring::npos) {
        ADD_FAILURE() << "a program this deep runs only with plain arguments and streams";
        return {};
    }
    const std::wstring out_file = program + L".out", err_file = program + L".err",
                       code_file = program + L".exit-code";
    for (const std::wstring* file : {&out_file, &err_file, &code_file})
        DeleteFileW((L"\\\\?\\" + *file).c_str());
    std::string base = host_path(program);
    if (base.empty()) {
        ADD_FAILURE() << "no host path for " << utf8(program)
                      << ": a program this deep can only be started under Wine";
        return {};
    }
    ProcessOptions shell;
    shell.arguments = L"-c " +
                      quote_argument(L"wine \"$0\" " + options.arguments +
                                     L" >\"$1.out\" 2>\"$1.err\"; echo $? >\"$1.exit-code\"") +
                      L" " + quote_argument(program) + L" " + quote_argument(wide(base));
    shell.directory = options.directory;
    shell.environment = options.environment;
    shell.out = shell.err = Stream::none;
    shell.wait = false;
    ProcessResult started = run_process(L"Z:\\bin\\sh", shell);
    if (!started.started) {
        ADD_FAILURE() << "the host shell could not be started: " << started.start_error;
        return {};
    }

    // The exit code is written as the shell's last act: digits and a line
    // feed.
    ULONGLONG deadline = GetTickCount64() + options.time_limit_ms;
    std::optional<std::string> code = file_content(code_file);
    while (!(code && code->ends_with('\n')) && GetTickCount64() < deadline) {
        Sleep(50);
        code = file_content(code_file);
    }
    ChildResult result;
    result.started = true;
    if (!(code && code->ends_with('\n'))) {
        ADD_FAILURE() << utf8(program) << " did not end within " << options.time_limit_ms << " ms";
        result.timed_out = true;
        return result;
    }
    result.exit_code = static_cast<DWORD>(std::stoul(*code));
    result.out = file_content(out_file).value_or("");
    result.err = file_content(err_file).value_or("");
    return result;
}

// Starts `program` (a full path), waits for it within the time limit, and
// gives its exit code and everything it wrote to the captured streams;
// nothing, with the platform's code as the last error, when it cannot be
// started. A child that does not end in time is ended and reported as a
// failure of the test, with exit code 0xFFFFFFFF.
//
// Wine's CreateProcessW refuses a program whose path is MAX_PATH long or
// longer, in every form (plain and \\?\ form: error 2; without an
// application name: 123). Under Wine such a program is run from the host's
// shell instead, with its streams captured in files (run_child_from_host);
// elsewhere it is started by its \\?\ form.
inline std::optional<ChildResult> try_run_child(const std::wstring& program,
                                                const ChildOptions& options = {}) {
    if (program.size() >= MAX_PATH && under_wine()) return run_child_from_host(program, options);
    ChildResult result = run_process(program, options);
    if (!result.started) {
        SetLastError(result.start_error);
        return std::nullopt;
    }
    if (result.timed_out)
        ADD_FAILURE() << utf8(program) << " did not end within " << options.time_limit_ms << " ms";
    return result;
}

// As try_run_child, for a program that must start: one that cannot is a
// failure of the test, with exit code 0xFFFFFFFF.
inline ChildResult run_child(const std::wstring& program, const ChildOptions& options = {}) {
    std::optional<ChildResult> result = try_run_child(program, options);
    if (result) return *result;
    ADD_FAILURE() << "CreateProcessW failed with " << GetLastError() << " for " << utf8(program);
    return {};
}

}  // namespace vek::windows_test
