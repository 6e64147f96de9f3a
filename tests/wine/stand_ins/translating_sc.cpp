// A stand-in for Windows' sc.exe, for Wine only: Wine's sc prints English
// alone, while Windows translates sc's field labels (pt-BR prints ESTADO for
// STATE, German STATUS, French ETAT) and its failure words, but not the
// state words ("4  RUNNING"). It runs Wine's own sc, saved beside it as
// sc-real.exe, with the same arguments, and prints its output with the labels
// and failure words a Brazilian Portuguese Windows prints, in the OEM code
// page; the exit code is sc's. With VEK_TEST_SC_DENIED set it fails as sc
// does when the manager refuses it. The deployment test puts it in system32
// of its own Wine prefix for one scenario; never on a real Windows machine.
#include "../support/windows_api.h"
#include "oem_text.h"

#include <string>
#include <utility>

namespace {

// What follows the program's own name on the command line, as it was given.
std::wstring arguments() {
    const wchar_t* line = GetCommandLineW();
    if (*line == L'"') {
        ++line;
        while (*line != L'\0' && *line != L'"') ++line;
        if (*line == L'"') ++line;
    } else {
        while (*line != L'\0' && *line != L' ' && *line != L'\t') ++line;
    }
    return line;
}

const std::pair<const wchar_t*, const wchar_t*> translations[] = {
    {L"SERVICE_NAME", L"NOME_DO_SERVIÇO"},
    {L"DISPLAY_NAME", L"NOME_DE_EXIBIÇÃO"},
    {L"TYPE", L"TIPO"},
    {L"STATE", L"ESTADO"},
    {L"WIN32_EXIT_CODE", L"CÓDIGO_DE_SAÍDA_DO_WIN32"},
    {L"SERVICE_EXIT_CODE", L"CÓDIGO_DE_SAÍDA_DO_SERVIÇO"},
    {L"CHECKPOINT", L"PONTO_DE_VERIFICAÇÃO"},
    {L"WAIT_HINT", L"AGUARDAR_DICA"},
    {L"FAILED", L"FALHA"},
    {L"SUCCESS", L"ÊXITO"},
};

// `line` with each word that is a label or failure word translated (a label
// may carry its colon).
std::wstring translated(const std::wstring& line) {
    std::wstring out;
    std::size_t at = 0;
    while (at < line.size()) {
        std::size_t end = line.find_first_of(L" \t:\r\n", at);
        if (end == at) {
            out += line[at++];
            continue;
        }
        if (end == std::wstring::npos) end = line.size();
        std::wstring word = line.substr(at, end - at);
        for (const auto& [english, portuguese] : translations)
            if (word == english) word = portuguese;
        out += word;
        at = end;
    }
    return out;
}

}  // namespace

int wmain() {
    // The manager's refusal (access denied), as Windows' sc reports it.
    if (GetEnvironmentVariableW(L"VEK_TEST_SC_DENIED", nullptr, 0) != 0) {
        vek::wine_test::write_oem(L"[SC] OpenService FALHA 5:\r\n\r\nAcesso negado.\r\n\r\n");
        return 5;
    }
    wchar_t system[MAX_PATH];
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    std::wstring real = std::wstring(system, length) + L"\\sc-real.exe";
    std::wstring command_line = L"\"" + real + L"\"" + arguments();

    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &inheritable, 0)) return 1;
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write;
    startup.hStdError = write;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(real.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &process)) {
        vek::wine_test::write_oem(L"sc stand-in: cannot run " + real + L"\r\n");
        return 1;
    }
    CloseHandle(write);
    std::string output;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(read, buffer, sizeof buffer, &got, nullptr) && got > 0) output.append(buffer, got);
    CloseHandle(read);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);

    // Wine's sc writes ASCII.
    vek::wine_test::write_oem(translated(std::wstring(output.begin(), output.end())));
    return static_cast<int>(code);
}
