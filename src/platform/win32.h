// The Win32 surface that the program calls, in its own fixed-width and
// char16_t types. On Windows each function forwards to the real one of the same
// name (win32_windows.cpp); on Linux a recording, programmable fake stands in
// (fake/). Nothing above this layer includes <windows.h>.
#pragma once

#include <cstdint>

namespace vek::platform {

using Dword = std::uint32_t;
using Bool = std::int32_t;
// HANDLE, SC_HANDLE and HMODULE alike: an opaque pointer-sized value.
using Handle = void*;

// INVALID_HANDLE_VALUE, the failure value of CreateFileW, FindFirstFileW and
// GetStdHandle. (NULL is the failure value of the service manager calls.)
inline Handle invalid_handle_value() noexcept {
    return reinterpret_cast<Handle>(~std::uintptr_t{0});
}

// Error codes the program looks at by value.
inline constexpr Dword error_success = 0;
inline constexpr Dword error_file_not_found = 2;
inline constexpr Dword error_path_not_found = 3;
inline constexpr Dword error_access_denied = 5;
inline constexpr Dword error_invalid_handle = 6;
// A write that reported success but took nothing.
inline constexpr Dword error_write_fault = 29;
inline constexpr Dword error_sharing_violation = 32;
inline constexpr Dword error_broken_pipe = 109;
inline constexpr Dword error_call_not_implemented = 120;
inline constexpr Dword error_insufficient_buffer = 122;
inline constexpr Dword error_no_data = 232;
inline constexpr Dword error_service_request_timeout = 1053;
inline constexpr Dword error_service_already_running = 1056;
inline constexpr Dword error_service_does_not_exist = 1060;
inline constexpr Dword error_service_specific_error = 1066;
inline constexpr Dword error_service_marked_for_delete = 1072;
inline constexpr Dword error_service_exists = 1073;
inline constexpr Dword error_timeout = 1460;
inline constexpr Dword error_cant_access_file = 1920;

// GetStdHandle's selectors, (DWORD)-11 and (DWORD)-12.
inline constexpr Dword std_output_handle = static_cast<Dword>(-11);
inline constexpr Dword std_error_handle = static_cast<Dword>(-12);

// FormatMessageW flags.
inline constexpr Dword format_message_ignore_inserts = 0x200;
inline constexpr Dword format_message_from_hmodule = 0x800;
inline constexpr Dword format_message_from_system = 0x1000;

// CreateFileW arguments.
inline constexpr Dword file_share_read = 0x1;
inline constexpr Dword file_share_write = 0x2;
inline constexpr Dword file_share_delete = 0x4;
inline constexpr Dword open_existing = 3;
inline constexpr Dword file_flag_backup_semantics = 0x2000000;
inline constexpr Dword file_flag_open_reparse_point = 0x200000;
inline constexpr Dword file_attribute_reparse_point = 0x400;
// FILE_INFO_BY_HANDLE_CLASS FileAttributeTagInfo.
inline constexpr int file_attribute_tag_info_class = 9;

// Service manager values.
inline constexpr Dword service_config_description = 1;
inline constexpr Dword sc_status_process_info = 0;

// SERVICE_STATUS_PROCESS: nine 32-bit fields, 36 bytes.
struct ServiceStatusProcess {
    Dword dwServiceType;
    Dword dwCurrentState;
    Dword dwControlsAccepted;
    Dword dwWin32ExitCode;
    Dword dwServiceSpecificExitCode;
    Dword dwCheckPoint;
    Dword dwWaitHint;
    Dword dwProcessId;
    Dword dwServiceFlags;
};
static_assert(sizeof(ServiceStatusProcess) == 36);

// SERVICE_DESCRIPTIONW.
struct ServiceDescription {
    char16_t* lpDescription;
};

struct FileTime {
    Dword dwLowDateTime;
    Dword dwHighDateTime;
};

// BY_HANDLE_FILE_INFORMATION.
struct ByHandleFileInformation {
    Dword dwFileAttributes;
    FileTime ftCreationTime;
    FileTime ftLastAccessTime;
    FileTime ftLastWriteTime;
    Dword dwVolumeSerialNumber;
    Dword nFileSizeHigh;
    Dword nFileSizeLow;
    Dword nNumberOfLinks;
    Dword nFileIndexHigh;
    Dword nFileIndexLow;
};

// FILE_ATTRIBUTE_TAG_INFO.
struct FileAttributeTagInfo {
    Dword FileAttributes;
    Dword ReparseTag;
};
static_assert(sizeof(FileAttributeTagInfo) == 8);

// WIN32_FIND_DATAW. For a reparse point, dwReserved0 holds its tag.
struct Win32FindData {
    Dword dwFileAttributes;
    FileTime ftCreationTime;
    FileTime ftLastAccessTime;
    FileTime ftLastWriteTime;
    Dword nFileSizeHigh;
    Dword nFileSizeLow;
    Dword dwReserved0;
    Dword dwReserved1;
    char16_t cFileName[260];
    char16_t cAlternateFileName[14];
};

// --- Service control manager (advapi32) ---
Handle OpenSCManagerW(const char16_t* machine_name, const char16_t* database_name,
                      Dword desired_access);
Handle OpenServiceW(Handle manager, const char16_t* service_name, Dword desired_access);
Handle CreateServiceW(Handle manager, const char16_t* service_name,
                      const char16_t* display_name, Dword desired_access,
                      Dword service_type, Dword start_type, Dword error_control,
                      const char16_t* binary_path_name, const char16_t* load_order_group,
                      Dword* tag_id, const char16_t* dependencies,
                      const char16_t* service_start_name, const char16_t* password);
Bool ChangeServiceConfig2W(Handle service, Dword info_level, void* info);
Bool StartServiceW(Handle service, Dword num_service_args, const char16_t** service_arg_vectors);
Bool QueryServiceStatusEx(Handle service, Dword info_level, std::uint8_t* buffer,
                          Dword buffer_size, Dword* bytes_needed);
Bool CloseServiceHandle(Handle object);

// --- Process, files and error texts (kernel32) ---
Dword GetLastError();
void SetLastError(Dword code);
Dword GetModuleFileNameW(Handle module, char16_t* filename, Dword size);
Handle CreateFileW(const char16_t* file_name, Dword desired_access, Dword share_mode,
                   void* security_attributes, Dword creation_disposition,
                   Dword flags_and_attributes, Handle template_file);
Bool GetFileInformationByHandle(Handle file, ByHandleFileInformation* information);
Bool GetFileInformationByHandleEx(Handle file, int information_class, void* information,
                                  Dword buffer_size);
Bool CloseHandle(Handle object);
Handle FindFirstFileW(const char16_t* file_name, Win32FindData* find_data);
Bool FindClose(Handle find_file);
Dword GetFullPathNameW(const char16_t* file_name, Dword buffer_length, char16_t* buffer,
                       char16_t** file_part);
Dword FormatMessageW(Dword flags, const void* source, Dword message_id, Dword language_id,
                     char16_t* buffer, Dword size, void* arguments);
Handle GetModuleHandleW(const char16_t* module_name);

// --- Functions looked up at run time (kernel32) ---
// GetProcAddress's result: the address of an exported function, to be cast to
// that function's own type before it is called; NULL when the module has no
// such export.
using Proc = void (*)();
Proc GetProcAddress(Handle module, const char* proc_name);

// --- Threads (kernel32) ---
Handle GetCurrentThread();
// SetThreadDescription, called through the address GetProcAddress gives: it
// is in kernel32 only since Windows 10 1607, and a static import of it would
// keep the program from loading at all on 1507 and 1511. Gives an HRESULT,
// negative on failure.
using SetThreadDescriptionProc = std::int32_t (*)(Handle thread, const char16_t* description);

// --- DLL loading (kernel32) ---
// LOAD_LIBRARY_SEARCH_SYSTEM32
inline constexpr Dword load_library_search_system32 = 0x800;
Bool SetDefaultDllDirectories(Dword directory_flags);

// --- Standard streams and console (kernel32) ---
Handle GetStdHandle(Dword std_handle);
Bool GetConsoleMode(Handle console, Dword* mode);
Bool WriteConsoleW(Handle console, const char16_t* buffer, Dword chars_to_write,
                   Dword* chars_written, void* reserved);
Bool WriteFile(Handle file, const void* buffer, Dword bytes_to_write, Dword* bytes_written,
               void* overlapped);

}  // namespace vek::platform
