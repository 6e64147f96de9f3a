// Text helpers for the Windows test programs: UTF-16 <-> UTF-8, the
// platform's own message for an error code, and the installer's quoting and
// escaping as a user would expect to read them.
#pragma once

#include "windows_api.h"

#include <cstdlib>
#include <string>
#include <string_view>

namespace vek::windows_test {

// UTF-8 of a well-formed UTF-16 text.
inline std::string utf8(std::wstring_view text) {
    if (text.empty()) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

inline std::wstring wide(std::string_view text) {
    if (text.empty()) return {};
    int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

// The platform's text for `code` as this platform words it (Wine's words
// differ from Windows'), without the line end it appends.
inline std::string system_message(DWORD code) {
    wchar_t buffer[2048];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, buffer, 2048, nullptr);
    std::wstring text(buffer, length);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' ||
                             text.back() == L' ' || text.back() == L'\t'))
        text.pop_back();
    return utf8(text);
}

// "<the platform's text> (os error <code>)".
inline std::string os_error_text(DWORD code) {
    return system_message(code) + " (os error " + std::to_string(code) + ")";
}

// The whole report of a failed platform call of the service client.
inline std::string winapi_report(DWORD code) {
    return "Error: IO error in winapi call\n\nCaused by:\n    " + os_error_text(code) + "\n";
}

// A path as the report shows it: in double quotes, with backslashes,
// quotes and apostrophes escaped. (Enough for the paths these tests make:
// printable characters only.)
inline std::string quoted_path(std::wstring_view path) {
    std::string out = "\"";
    for (char c : utf8(path)) {
        if (c == '\\' || c == '"' || c == '\'') out += '\\';
        out += c;
    }
    return out + "\"";
}

// A Linux path of this build as the Windows programs see it: on Wine's Z:
// drive, with backslashes.
inline std::wstring windows_path_of_host_path(std::string_view host_path) {
    std::wstring out = L"Z:" + wide(host_path);
    for (wchar_t& c : out)
        if (c == L'/') c = L'\\';
    return out;
}

// The environment variable `name`, or "" when it is not set.
inline std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace vek::windows_test
