// Placeholder until the in-memory file system lands: every file call fails
// with ERROR_CALL_NOT_IMPLEMENTED.
#include "platform/fake/fake_platform.h"

namespace vek::platform::fake {
void reset_files() {}
}  // namespace vek::platform::fake

namespace vek::platform {
namespace {
template <class R>
R not_implemented(const char* name, R failure) {
    fake::record({name, {}, {}});
    SetLastError(error_call_not_implemented);
    return failure;
}
}  // namespace
Dword GetModuleFileNameW(Handle, char16_t*, Dword) { return not_implemented<Dword>("GetModuleFileNameW", 0); }
Handle CreateFileW(const char16_t*, Dword, Dword, void*, Dword, Dword, Handle) {
    return not_implemented<Handle>("CreateFileW", invalid_handle_value());
}
Bool GetFileInformationByHandle(Handle, ByHandleFileInformation*) { return not_implemented<Bool>("GetFileInformationByHandle", 0); }
Bool GetFileInformationByHandleEx(Handle, int, void*, Dword) { return not_implemented<Bool>("GetFileInformationByHandleEx", 0); }
Bool CloseHandle(Handle) { return not_implemented<Bool>("CloseHandle", 0); }
Handle FindFirstFileW(const char16_t*, Win32FindData*) { return not_implemented<Handle>("FindFirstFileW", invalid_handle_value()); }
Bool FindClose(Handle) { return not_implemented<Bool>("FindClose", 0); }
Dword GetFullPathNameW(const char16_t*, Dword, char16_t*, char16_t**) { return not_implemented<Dword>("GetFullPathNameW", 0); }
}  // namespace vek::platform
