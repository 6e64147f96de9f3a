// (interim) Starting a program for the bundle's runner.
#pragma once

#include "windows_api.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vek::windows_test {

enum class Stream { captured, closed, none, inherited };

struct ProcessOptions {
    std::wstring arguments;
    std::wstring directory = L"C:\\";
    std::vector<std::pair<std::wstring, std::optional<std::wstring>>> environment;
    Stream in = Stream::none;
    Stream out = Stream::captured;
    Stream err = Stream::captured;
    HANDLE output_file = nullptr;
    enum class Console { detached, own_hidden, inherited } console = Console::detached;
    bool without_administrators = false;
    DWORD time_limit_ms = 300000;
    std::function<void()> watch;
    bool wait = true;
};

struct ProcessResult {
    bool started = false;
    DWORD start_error = 0;
    bool timed_out = false;
    DWORD exit_code = 0xFFFFFFFF;
    std::string out, err;
};

inline std::wstring quote_argument(std::wstring_view argument) {
    return L"\"" + std::wstring(argument) + L"\"";
}

inline ProcessResult run_process(const std::wstring& program, const ProcessOptions& options = {}) {
    ProcessResult result;
    for (const auto& [name, value] : options.environment)
        SetEnvironmentVariableW(name.c_str(), value ? value->c_str() : nullptr);
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    HANDLE out = options.output_file;
    if (out) SetHandleInformation(out, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    startup.hStdInput = options.in == Stream::inherited ? GetStdHandle(STD_INPUT_HANDLE) : nullptr;
    startup.hStdOutput = out ? out : GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = out ? out : GetStdHandle(STD_ERROR_HANDLE);
    std::wstring command_line = L"\"" + program + L"\" " + options.arguments;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED | (options.console == ProcessOptions::Console::detached ? DETACHED_PROCESS : 0),
                        nullptr, options.directory.c_str(), &startup, &process)) {
        result.start_error = GetLastError();
        CloseHandle(job);
        return result;
    }
    result.started = true;
    AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    if (!options.wait) {
        CloseHandle(process.hProcess);
        return result;
    }
    if (WaitForSingleObject(process.hProcess, options.time_limit_ms) != WAIT_OBJECT_0) {
        result.timed_out = true;
        TerminateJobObject(job, ERROR_TIMEOUT);
        WaitForSingleObject(process.hProcess, 60000);
    }
    GetExitCodeProcess(process.hProcess, &result.exit_code);
    CloseHandle(process.hProcess);
    CloseHandle(job);
    return result;
}

}  // namespace vek::windows_test
