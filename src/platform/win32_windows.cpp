// The real platform: each function forwards to the Win32 function of the same
// name. The casts are checked by the static_asserts below, so the program's
// own types and the platform's cannot drift apart.
#include "platform/win32.h"

#include <windows.h>

#include <cstddef>

namespace vek::platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t));
static_assert(sizeof(Dword) == sizeof(DWORD));
static_assert(sizeof(Bool) == sizeof(BOOL));
static_assert(sizeof(Handle) == sizeof(HANDLE));
// SetThreadDescriptionProc stands for HRESULT (WINAPI*)(HANDLE, PCWSTR): on
// x64 there is one calling convention, and char16_t and wchar_t are the same
// 16-bit units.
static_assert(sizeof(std::int32_t) == sizeof(HRESULT));
static_assert(sizeof(ServiceStatusProcess) == sizeof(SERVICE_STATUS_PROCESS));
static_assert(offsetof(ServiceStatusProcess, dwProcessId) ==
              offsetof(SERVICE_STATUS_PROCESS, dwProcessId));
static_assert(sizeof(ServiceDescription) == sizeof(SERVICE_DESCRIPTIONW));
static_assert(sizeof(ByHandleFileInformation) == sizeof(BY_HANDLE_FILE_INFORMATION));
static_assert(offsetof(ByHandleFileInformation, nFileIndexLow) ==
              offsetof(BY_HANDLE_FILE_INFORMATION, nFileIndexLow));
static_assert(sizeof(FileAttributeTagInfo) == sizeof(FILE_ATTRIBUTE_TAG_INFO));
static_assert(sizeof(Win32FindData) == sizeof(WIN32_FIND_DATAW));
static_assert(offsetof(Win32FindData, dwReserved0) == offsetof(WIN32_FIND_DATAW, dwReserved0));
static_assert(offsetof(Win32FindData, cFileName) == offsetof(WIN32_FIND_DATAW, cFileName));
static_assert(file_attribute_tag_info_class == ::FileAttributeTagInfo);
static_assert(std_output_handle == STD_OUTPUT_HANDLE);
static_assert(std_error_handle == STD_ERROR_HANDLE);
static_assert(load_library_search_system32 == LOAD_LIBRARY_SEARCH_SYSTEM32);
static_assert(file_flag_backup_semantics == FILE_FLAG_BACKUP_SEMANTICS);
static_assert(file_flag_open_reparse_point == FILE_FLAG_OPEN_REPARSE_POINT);
static_assert(error_cant_access_file == ERROR_CANT_ACCESS_FILE);
static_assert(error_write_fault == ERROR_WRITE_FAULT);
static_assert(error_path_not_found == ERROR_PATH_NOT_FOUND);
static_assert(error_broken_pipe == ERROR_BROKEN_PIPE);
static_assert(error_service_request_timeout == ERROR_SERVICE_REQUEST_TIMEOUT);
static_assert(error_service_already_running == ERROR_SERVICE_ALREADY_RUNNING);
static_assert(error_service_marked_for_delete == ERROR_SERVICE_MARKED_FOR_DELETE);
static_assert(error_service_exists == ERROR_SERVICE_EXISTS);
static_assert(error_timeout == ERROR_TIMEOUT);
static_assert(error_service_specific_error == ERROR_SERVICE_SPECIFIC_ERROR);

namespace {
const wchar_t* w(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
wchar_t* w(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }
SC_HANDLE sc(Handle handle) { return static_cast<SC_HANDLE>(handle); }
}  // namespace

Handle OpenSCManagerW(const char16_t* machine_name, const char16_t* database_name,
                      Dword desired_access) {
    return ::OpenSCManagerW(w(machine_name), w(database_name), desired_access);
}

Handle OpenServiceW(Handle manager, const char16_t* service_name, Dword desired_access) {
    return ::OpenServiceW(sc(manager), w(service_name), desired_access);
}

Handle CreateServiceW(Handle manager, const char16_t* service_name,
                      const char16_t* display_name, Dword desired_access,
                      Dword service_type, Dword start_type, Dword error_control,
                      const char16_t* binary_path_name, const char16_t* load_order_group,
                      Dword* tag_id, const char16_t* dependencies,
                      const char16_t* service_start_name, const char16_t* password) {
    return ::CreateServiceW(sc(manager), w(service_name), w(display_name), desired_access,
                            service_type, start_type, error_control, w(binary_path_name),
                            w(load_order_group), reinterpret_cast<DWORD*>(tag_id),
                            w(dependencies), w(service_start_name), w(password));
}

Bool ChangeServiceConfig2W(Handle service, Dword info_level, void* info) {
    return ::ChangeServiceConfig2W(sc(service), info_level, info);
}

Bool StartServiceW(Handle service, Dword num_service_args,
                   const char16_t** service_arg_vectors) {
    return ::StartServiceW(sc(service), num_service_args,
                           reinterpret_cast<const wchar_t**>(service_arg_vectors));
}

Bool QueryServiceStatusEx(Handle service, Dword info_level, std::uint8_t* buffer,
                          Dword buffer_size, Dword* bytes_needed) {
    return ::QueryServiceStatusEx(sc(service), static_cast<SC_STATUS_TYPE>(info_level), buffer,
                                  buffer_size, reinterpret_cast<DWORD*>(bytes_needed));
}

Bool CloseServiceHandle(Handle object) { return ::CloseServiceHandle(sc(object)); }

Dword GetLastError() { return ::GetLastError(); }

void SetLastError(Dword code) { ::SetLastError(code); }

Dword GetModuleFileNameW(Handle module, char16_t* filename, Dword size) {
    return ::GetModuleFileNameW(static_cast<HMODULE>(module), w(filename), size);
}

Handle CreateFileW(const char16_t* file_name, Dword desired_access, Dword share_mode,
                   void* security_attributes, Dword creation_disposition,
                   Dword flags_and_attributes, Handle template_file) {
    return ::CreateFileW(w(file_name), desired_access, share_mode,
                         static_cast<LPSECURITY_ATTRIBUTES>(security_attributes),
                         creation_disposition, flags_and_attributes, template_file);
}

Bool GetFileInformationByHandle(Handle file, ByHandleFileInformation* information) {
    return ::GetFileInformationByHandle(
        file, reinterpret_cast<BY_HANDLE_FILE_INFORMATION*>(information));
}

Bool GetFileInformationByHandleEx(Handle file, int information_class, void* information,
                                  Dword buffer_size) {
    return ::GetFileInformationByHandleEx(
        file, static_cast<FILE_INFO_BY_HANDLE_CLASS>(information_class), information,
        buffer_size);
}

Bool CloseHandle(Handle object) { return ::CloseHandle(object); }

Handle FindFirstFileW(const char16_t* file_name, Win32FindData* find_data) {
    return ::FindFirstFileW(w(file_name), reinterpret_cast<WIN32_FIND_DATAW*>(find_data));
}

Bool FindClose(Handle find_file) { return ::FindClose(find_file); }

Dword GetFullPathNameW(const char16_t* file_name, Dword buffer_length, char16_t* buffer,
                       char16_t** file_part) {
    return ::GetFullPathNameW(w(file_name), buffer_length, w(buffer),
                              reinterpret_cast<wchar_t**>(file_part));
}

Dword FormatMessageW(Dword flags, const void* source, Dword message_id, Dword language_id,
                     char16_t* buffer, Dword size, void* arguments) {
    return ::FormatMessageW(flags, source, message_id, language_id, w(buffer), size,
                            static_cast<va_list*>(arguments));
}

Handle GetModuleHandleW(const char16_t* module_name) {
    return ::GetModuleHandleW(w(module_name));
}

Proc GetProcAddress(Handle module, const char* proc_name) {
    return reinterpret_cast<Proc>(
        reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), proc_name)));
}

Handle GetCurrentThread() { return ::GetCurrentThread(); }

Bool SetDefaultDllDirectories(Dword directory_flags) {
    return ::SetDefaultDllDirectories(directory_flags);
}

Handle GetStdHandle(Dword std_handle) { return ::GetStdHandle(std_handle); }

Bool GetConsoleMode(Handle console, Dword* mode) {
    return ::GetConsoleMode(console, reinterpret_cast<DWORD*>(mode));
}

Bool WriteConsoleW(Handle console, const char16_t* buffer, Dword chars_to_write,
                   Dword* chars_written, void* reserved) {
    return ::WriteConsoleW(console, w(buffer), chars_to_write,
                           reinterpret_cast<DWORD*>(chars_written), reserved);
}

Bool WriteFile(Handle file, const void* buffer, Dword bytes_to_write, Dword* bytes_written,
               void* overlapped) {
    return ::WriteFile(file, buffer, bytes_to_write, reinterpret_cast<DWORD*>(bytes_written),
                       static_cast<LPOVERLAPPED>(overlapped));
}

}  // namespace vek::platform
