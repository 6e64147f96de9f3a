// bench/driver: times installing vek-system-service three ways, alternating
// between them in one run, and prints the figures as Markdown.
//
//   driver.exe [rounds] [warm-up rounds]
//
// It expects beside itself vek-system-service-setup.exe (the installer),
// floor.exe (the same manager calls and nothing else), noop.exe (an empty
// program) and vek-system-service.exe (the service they register). The third
// way is the system's sc.exe, three processes as an administrator's script
// would run them.
//
// Each round, in an order that rotates from round to round, it removes the
// service and times one first install by each of installer, floor and sc;
// then, with the service registered and running, it times one re-run of the
// installer and of the floor (in alternating order) and one empty program.
// Last, to show where a first install's time goes, it registers the service
// itself and times its StartServiceW call alone.
// A time is the wall-clock time from creating the first process to the end
// of the last one, on the performance counter; removing the service and
// checking the result are outside it. A run that fails, prints the wrong
// text or leaves the service other than registered and running ends the
// benchmark with exit code 1: no figure stands for a job that was not done.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr wchar_t service_name[] = L"vek-system-service";
constexpr wchar_t display_name[] = L"Vek System Service";
constexpr wchar_t description_text[] = L"Vek system service";

constexpr int default_rounds = 40;
constexpr int default_warm_up_rounds = 2;
// How long the service may take to reach a settled state, or the manager to
// forget a deleted service, before the benchmark gives up.
constexpr DWORD settle_timeout_ms = 60000;
constexpr DWORD poll_interval_ms = 5;

[[noreturn]] void die(const char* what, DWORD error = GetLastError()) {
    std::fprintf(stderr, "driver: %s (error %lu)\n", what, error);
    std::fflush(stdout);
    std::exit(1);
}

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t unit : text) out += unit < 0x80 ? static_cast<char>(unit) : '?';
    return out;
}

// Quotes one command-line element so that the runtime's argument parser gives
// it back unchanged.
std::wstring quote(const std::wstring& text) {
    if (!text.empty() && text.find_first_of(L"\" \n\t\v") == std::wstring::npos) return text;
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t unit : text) {
        if (unit == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(unit == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        out += unit;
    }
    out.append(2 * backslashes, L'\\');
    out += L'"';
    return out;
}

std::wstring own_folder() {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) die("GetModuleFileNameW failed");
    std::wstring path(buffer.data(), length);
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::wstring system_folder() {
    wchar_t buffer[MAX_PATH];
    const UINT length = GetSystemDirectoryW(buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) die("GetSystemDirectoryW failed");
    return std::wstring(buffer, length) + L"\\";
}

// One process to start: the program's full path and its arguments, already
// quoted.
struct Command {
    std::wstring program;
    std::wstring arguments;
};

struct Outcome {
    double seconds;
    std::string output;  // standard output and standard error, as written
};

std::string read_file(HANDLE file) {
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) die("SetFilePointer failed");
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) text.append(buffer, read);
    return text;
}

// Runs the commands one after another, each to its end, with standard output
// and standard error going to one temporary file. Dies if a process cannot be
// started or ends with an exit code other than 0.
Outcome run(const std::vector<Command>& commands, const std::wstring& folder,
            const std::wstring& output_path) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE output = CreateFileW(output_path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (output == INVALID_HANDLE_VALUE) die("CreateFileW of the output file failed");
    HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inheritable, OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE) die("CreateFileW of NUL failed");

    // Command lines are built before the clock starts.
    std::vector<std::wstring> lines;
    for (const Command& command : commands) lines.push_back(quote(command.program) + L" " + command.arguments);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = output;

    std::vector<DWORD> exit_codes;
    LARGE_INTEGER begin, end;
    QueryPerformanceCounter(&begin);
    for (std::size_t i = 0; i < commands.size(); ++i) {
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(commands[i].program.c_str(), lines[i].data(), nullptr, nullptr, TRUE, 0,
                            nullptr, folder.c_str(), &startup, &process)) {
            const DWORD error = GetLastError();
            std::fprintf(stderr, "driver: %s %s: ", narrow(commands[i].program).c_str(),
                         narrow(commands[i].arguments).c_str());
            die("CreateProcessW failed", error);
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        exit_codes.push_back(code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    QueryPerformanceCounter(&end);

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    Outcome outcome{static_cast<double>(end.QuadPart - begin.QuadPart) / static_cast<double>(frequency.QuadPart),
                    read_file(output)};
    CloseHandle(input);
    CloseHandle(output);
    for (std::size_t i = 0; i < commands.size(); ++i) {
        if (exit_codes[i] != 0) {
            std::fprintf(stderr, "driver: %s %s exited with %lu; its output:\n%s\n",
                         narrow(commands[i].program).c_str(), narrow(commands[i].arguments).c_str(),
                         exit_codes[i], outcome.output.c_str());
            std::exit(1);
        }
    }
    return outcome;
}

class Manager {
public:
    Manager() : handle_(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
        if (handle_ == nullptr) die("OpenSCManagerW failed");
    }
    ~Manager() { CloseServiceHandle(handle_); }
    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;
    SC_HANDLE get() const { return handle_; }

private:
    SC_HANDLE handle_;
};

SERVICE_STATUS_PROCESS query(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status;
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof status, &needed))
        die("QueryServiceStatusEx failed");
    return status;
}

// Stops the service if it runs, waits until it has stopped and its process
// has ended, deletes it, and waits until the manager no longer knows the
// name. Nothing of this is timed.
void remove_service(const Manager& manager) {
    SC_HANDLE service = OpenServiceW(manager.get(), service_name,
                                     SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (service == nullptr) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) return;
        die("OpenServiceW before removal failed", error);
    }
    const ULONGLONG deadline = GetTickCount64() + settle_timeout_ms;
    for (;;) {
        const SERVICE_STATUS_PROCESS status = query(service);
        if (status.dwCurrentState == SERVICE_STOPPED) break;
        if (GetTickCount64() > deadline) die("the service did not stop in time", status.dwCurrentState);
        if (status.dwCurrentState != SERVICE_STOP_PENDING) {
            // A service still starting refuses controls; it is asked again.
            SERVICE_STATUS ignored;
            if (ControlService(service, SERVICE_CONTROL_STOP, &ignored)) {
                if (HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId)) {
                    WaitForSingleObject(process, settle_timeout_ms);
                    CloseHandle(process);
                }
                continue;
            }
        }
        Sleep(poll_interval_ms);
    }
    if (!DeleteService(service)) die("DeleteService failed");
    CloseServiceHandle(service);

    // The manager drops the registration once the last handle is closed.
    while (SC_HANDLE again = OpenServiceW(manager.get(), service_name, SERVICE_QUERY_STATUS)) {
        CloseServiceHandle(again);
        if (GetTickCount64() > deadline) die("the manager kept the deleted service", 0);
        Sleep(poll_interval_ms);
    }
    if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) die("OpenServiceW after removal failed");
}

// Waits until the service is running and checks that its registration is the
// one the installer makes. `who` names the contender in a failure.
void expect_installed(const Manager& manager, const std::wstring& command_line, const char* who) {
    SC_HANDLE service = OpenServiceW(manager.get(), service_name, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    if (service == nullptr) {
        std::fprintf(stderr, "driver: after %s: ", who);
        die("the service is not registered");
    }
    const ULONGLONG deadline = GetTickCount64() + settle_timeout_ms;
    for (;;) {
        const DWORD state = query(service).dwCurrentState;
        if (state == SERVICE_RUNNING) break;
        if (state != SERVICE_START_PENDING || GetTickCount64() > deadline) {
            std::fprintf(stderr, "driver: after %s: ", who);
            die("the service is not running; its state", state);
        }
        Sleep(poll_interval_ms);
    }

    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    if (!QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                             static_cast<DWORD>(buffer.size()), &needed))
        die("QueryServiceConfigW failed");
    const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
    const bool config_matches =
        config->dwServiceType == SERVICE_WIN32_OWN_PROCESS && config->dwStartType == SERVICE_AUTO_START &&
        config->dwErrorControl == SERVICE_ERROR_NORMAL && command_line == config->lpBinaryPathName &&
        std::wstring(display_name) == config->lpDisplayName;
    std::vector<BYTE> described(8192);
    if (!QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, described.data(),
                              static_cast<DWORD>(described.size()), &needed))
        die("QueryServiceConfig2W failed");
    const auto* description = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(described.data());
    const bool description_matches =
        description->lpDescription != nullptr && std::wstring(description_text) == description->lpDescription;
    CloseServiceHandle(service);
    if (!config_matches || !description_matches) {
        std::fprintf(stderr, "driver: after %s: the registration differs (command line %s)\n", who,
                     narrow(config->lpBinaryPathName).c_str());
        std::exit(1);
    }
}

// Registers the service as the installer does and times StartServiceW alone,
// in this process: the share of a first install that waits for the service's
// own process to start and connect.
double time_start_alone(const Manager& manager, const std::wstring& command_line) {
    remove_service(manager);
    SC_HANDLE service = CreateServiceW(manager.get(), service_name, display_name, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       command_line.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr) die("CreateServiceW failed");
    std::wstring description_copy = description_text;
    SERVICE_DESCRIPTIONW description{description_copy.data()};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description))
        die("ChangeServiceConfig2W failed");
    LARGE_INTEGER begin, end, frequency;
    QueryPerformanceCounter(&begin);
    const BOOL started = StartServiceW(service, 0, nullptr);
    QueryPerformanceCounter(&end);
    if (!started) die("StartServiceW failed");
    CloseServiceHandle(service);
    expect_installed(manager, command_line, "the driver's own start");
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(end.QuadPart - begin.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void expect_output(const Outcome& outcome, const char* expected, const char* who) {
    if (outcome.output != expected) {
        std::fprintf(stderr, "driver: %s printed:\n%s\nexpected:\n%s\n", who, outcome.output.c_str(), expected);
        std::exit(1);
    }
}

struct Series {
    const char* name;
    std::vector<double> seconds;

    double median() const {
        std::vector<double> sorted = seconds;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t n = sorted.size();
        return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }
    double min() const { return *std::min_element(seconds.begin(), seconds.end()); }
    double max() const { return *std::max_element(seconds.begin(), seconds.end()); }
};

void print_row(const Series& series) {
    std::printf("| %s | %zu | %.1f | %.1f | %.1f |\n", series.name, series.seconds.size(),
                series.median() * 1000, series.min() * 1000, series.max() * 1000);
}

// The target is judged on the ratio of the medians. Beside it: the ratio of
// the minimums (the runs least disturbed by anything else on the machine) and
// the median of the ratios of the same round's runs, which ran seconds apart
// and so under much the same load.
void print_ratio(const char* name, const Series& ours, const Series& other, double target) {
    const double ratio = ours.median() / other.median();
    Series paired{name, {}};
    for (std::size_t i = 0; i < ours.seconds.size() && i < other.seconds.size(); ++i)
        paired.seconds.push_back(ours.seconds[i] / other.seconds[i]);
    std::printf("| %s | %.3f | %.3f | %.3f | <= %.2f | %s |\n", name, ratio, ours.min() / other.min(),
                paired.median(), target, ratio <= target ? "met" : "missed");
}

int parse_count(const char* text, int fallback) {
    if (text == nullptr) return fallback;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 0 || value > 10000) {
        std::fprintf(stderr, "driver: not a count: %s\n", text);
        std::exit(2);
    }
    return static_cast<int>(value);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = parse_count(argc > 1 ? argv[1] : nullptr, default_rounds);
    const int warm_up_rounds = parse_count(argc > 2 ? argv[2] : nullptr, default_warm_up_rounds);
    if (rounds < 1) {
        std::fprintf(stderr, "driver: at least one round is needed\n");
        return 2;
    }

    const std::wstring folder = own_folder();
    const std::wstring service_program = folder + L"vek-system-service.exe";
    const std::wstring command_line = quote(service_program);
    const std::wstring installer = folder + L"vek-system-service-setup.exe";
    const std::wstring floor = folder + L"floor.exe";
    const std::wstring noop = folder + L"noop.exe";
    const std::wstring sc = system_folder() + L"sc.exe";
    const std::wstring output_path = folder + L"driver-output.txt";
    for (const std::wstring& program : {installer, floor, noop, service_program, sc}) {
        if (GetFileAttributesW(program.c_str()) == INVALID_FILE_ATTRIBUTES) {
            std::fprintf(stderr, "driver: %s is missing\n", narrow(program).c_str());
            return 1;
        }
    }

    // The administrator's script: the command line is one argument of sc,
    // quoted again for sc's own argument parser.
    const std::vector<Command> sc_job = {
        {sc, std::wstring(L"create ") + service_name + L" binPath= " + quote(command_line) +
                 L" DisplayName= " + quote(display_name) + L" start= auto"},
        {sc, std::wstring(L"description ") + service_name + L" " + quote(description_text)},
        {sc, std::wstring(L"start ") + service_name},
    };

    constexpr char first_install_text[] =
        "Installing service...\nCreating service...\nService installed successfully.\n";
    constexpr char rerun_text[] = "Installing service...\n";

    Series ours_first{"installer, first install", {}};
    Series floor_first{"floor, first install", {}};
    Series sc_first{"sc.exe (create, description, start), first install", {}};
    Series ours_rerun{"installer, re-run on the running service", {}};
    Series floor_rerun{"floor, re-run on the running service", {}};
    Series noop_run{"empty program (process start and end only)", {}};
    Series start_alone{"StartServiceW alone, inside the driver (no process of its own)", {}};

    Manager manager;
    remove_service(manager);

    for (int round = 0; round < warm_up_rounds + rounds; ++round) {
        const bool counted = round >= warm_up_rounds;
        for (int step = 0; step < 3; ++step) {
            remove_service(manager);
            switch ((round + step) % 3) {
                case 0: {
                    const Outcome outcome = run({{installer, L""}}, folder, output_path);
                    expect_output(outcome, first_install_text, "the installer");
                    expect_installed(manager, command_line, "the installer");
                    if (counted) ours_first.seconds.push_back(outcome.seconds);
                    break;
                }
                case 1: {
                    const Outcome outcome = run({{floor, L""}}, folder, output_path);
                    expect_output(outcome, "", "the floor");
                    expect_installed(manager, command_line, "the floor");
                    if (counted) floor_first.seconds.push_back(outcome.seconds);
                    break;
                }
                default: {
                    const Outcome outcome = run(sc_job, folder, output_path);
                    expect_installed(manager, command_line, "sc.exe");
                    if (counted) sc_first.seconds.push_back(outcome.seconds);
                    break;
                }
            }
        }

        // The service is registered and running now.
        for (int step = 0; step < 2; ++step) {
            if ((round + step) % 2 == 0) {
                const Outcome outcome = run({{installer, L""}}, folder, output_path);
                expect_output(outcome, rerun_text, "the installer's re-run");
                expect_installed(manager, command_line, "the installer's re-run");
                if (counted) ours_rerun.seconds.push_back(outcome.seconds);
            } else {
                const Outcome outcome = run({{floor, L""}}, folder, output_path);
                expect_output(outcome, "", "the floor's re-run");
                expect_installed(manager, command_line, "the floor's re-run");
                if (counted) floor_rerun.seconds.push_back(outcome.seconds);
            }
        }
        const Outcome outcome = run({{noop, L""}}, folder, output_path);
        if (counted) noop_run.seconds.push_back(outcome.seconds);
        const double start_seconds = time_start_alone(manager, command_line);
        if (counted) start_alone.seconds.push_back(start_seconds);
    }
    remove_service(manager);
    DeleteFileW(output_path.c_str());

    std::printf("%d rounds after %d warm-up rounds; times in milliseconds, wall clock from process\n"
                "creation to the end of the (last) process.\n\n",
                rounds, warm_up_rounds);
    std::printf("| Contender | Runs | Median | Min | Max |\n|---|---:|---:|---:|---:|\n");
    for (const Series* series :
         {&ours_first, &floor_first, &sc_first, &ours_rerun, &floor_rerun, &noop_run, &start_alone})
        print_row(*series);
    std::printf("\n| Ratio | Of medians | Of minimums | Median of paired | Target (medians) | |\n"
                "|---|---:|---:|---:|---:|---|\n");
    print_ratio("installer / floor, first install", ours_first, floor_first, 1.05);
    print_ratio("installer / floor, re-run", ours_rerun, floor_rerun, 1.05);
    print_ratio("installer / sc.exe, first install", ours_first, sc_first, 0.5);
    // What no program can beat: the floor against the same target.
    print_ratio("floor / sc.exe, first install (the least possible)", floor_first, sc_first, 0.5);
    return 0;
}
