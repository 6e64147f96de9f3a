// bundle-helper.exe: what run-tests.cmd cannot ask the platform itself, the
// same way under Windows' cmd and Wine's.
//
//   bundle-helper is-administrator   exit 0 when this process runs with the
//                                    Administrators group enabled
//   bundle-helper start-clean        refuses (exit 1, saying why) while any
//                                    service or folder the tests use is
//                                    there and is not the tests' own;
//                                    otherwise removes what an interrupted
//                                    earlier run left (exit 0)
//   bundle-helper finish             reports everything the run left
//                                    outside the bundle, one line each,
//                                    removes what is the tests' own, and
//                                    exits with the number of leftovers
//
// The tests' own: a folder holding the tests' marker, and a service whose
// program lies below such a folder (the bundle itself carries one). Anything
// else is never touched.
#include "support/bundle.h"

#include <cstdio>
#include <string>

namespace {

using namespace vek::wine_test;

void say(const std::wstring& line) {
    std::wstring text = line + L"\r\n";
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        nullptr, nullptr);
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(long_form(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool is_marked(const std::wstring& folder) {
    return exists(folder + L"\\" + marker_name);
}

// Whether `path` lies in a folder that is, or is below, one with the marker.
bool below_marked_folder(std::wstring path) {
    for (std::size_t at; (at = path.find_last_of(L'\\')) != std::wstring::npos && at > 2;) {
        path.resize(at);
        if (is_marked(path)) return true;
    }
    return false;
}

class Handle {
public:
    explicit Handle(SC_HANDLE handle) : handle_(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (handle_ != nullptr) CloseServiceHandle(handle_);
    }
    SC_HANDLE get() const { return handle_; }

private:
    SC_HANDLE handle_;
};

struct Service {
    bool registered = false;
    // Where its program lies, from the command line the manager keeps.
    std::wstring program;
};

Service look_up(const std::wstring& name) {
    Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    Handle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG));
    if (service.get() == nullptr) return {GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST, {}};
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::wstring buffer(needed / sizeof(wchar_t) + 1, L'\0');
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.get(), config, needed, &needed) ||
        config->lpBinaryPathName == nullptr)
        return {true, {}};
    std::wstring command_line = config->lpBinaryPathName;
    if (command_line.starts_with(L'"')) return {true, command_line.substr(1, command_line.find(L'"', 1) - 1)};
    return {true, command_line};
}

// Deletes first, then stops: a stopped automatic-start service may be
// started again by the manager before the deletion, a deleted one goes the
// moment it stops. Waits until the manager has let go of it.
bool remove_service(const std::wstring& name) {
    Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    {
        Handle service(OpenServiceW(manager.get(), name.c_str(),
                                    DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
        if (service.get() == nullptr) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        DeleteService(service.get());
        SERVICE_STATUS status{};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    }
    for (int waited = 0; waited < 600; ++waited) {
        Handle still(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
        if (still.get() == nullptr && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return true;
        Sleep(100);
    }
    return false;
}

int is_administrator() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators))
        return 1;
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
    FreeSid(administrators);
    return member ? 0 : 1;
}

int start_clean() {
    // Everything is judged before anything is removed: a refusal changes
    // nothing.
    bool refused = false;
    for (const std::wstring& name : test_services()) {
        Service service = look_up(name);
        if (service.registered && !below_marked_folder(service.program)) {
            say(L"A service named " + name + L" is registered on this machine (its program: " +
                service.program + L").");
            say(L"These tests create and delete that service, and will not touch one they did "
                L"not make: run them on a machine without it, such as a throw-away virtual "
                L"machine.");
            refused = true;
        }
    }
    for (const std::wstring& folder : test_folders()) {
        if (exists(folder) && !is_marked(folder)) {
            say(L"The folder " + folder + L" exists and was not made by these tests, which "
                L"make and remove it: run them on a machine without it.");
            refused = true;
        }
    }
    if (refused) return 1;

    int status = 0;
    for (const std::wstring& name : test_services()) {
        if (!look_up(name).registered) continue;
        say(L"Removing the service " + name + L", left by an earlier run of these tests.");
        if (!remove_service(name)) {
            say(L"Could not remove the service " + name + L".");
            status = 1;
        }
    }
    for (const std::wstring& folder : test_folders()) {
        if (!exists(folder)) continue;
        say(L"Removing " + folder + L", left by an earlier run of these tests.");
        if (!remove_path(folder)) {
            say(L"Could not remove " + folder + L".");
            status = 1;
        }
    }
    return status;
}

int finish() {
    int leftovers = 0;
    for (const std::wstring& name : test_services()) {
        Service service = look_up(name);
        if (!service.registered) continue;
        ++leftovers;
        say(L"LEFT BEHIND: the service " + name);
        if (below_marked_folder(service.program) && !remove_service(name))
            say(L"  and it could not be removed");
    }
    for (const std::wstring& folder : test_folders()) {
        if (!exists(folder)) continue;
        ++leftovers;
        say(L"LEFT BEHIND: the folder " + folder);
        if (is_marked(folder) && !remove_path(folder)) say(L"  and it could not be removed");
    }
    // The bundle's own scratch goes as well; it is not a leftover.
    remove_path(bundle_file(L"work"));
    return leftovers;
}

}  // namespace

int main(int argc, char** argv) {
    std::string command = argc == 2 ? argv[1] : "";
    if (command == "is-administrator") return is_administrator();
    if (command == "start-clean") return start_clean();
    if (command == "finish") return finish();
    say(L"usage: bundle-helper is-administrator | start-clean | finish");
    return 2;
}
