// Placeholder until the in-memory service manager lands: every manager call
// fails with ERROR_CALL_NOT_IMPLEMENTED.
#include "platform/fake/fake_platform.h"

namespace vek::platform::fake {
void reset_scm() {}
}  // namespace vek::platform::fake

namespace vek::platform {
namespace {
template <class R>
R not_implemented(const char* name) {
    fake::record({name, {}, {}});
    SetLastError(error_call_not_implemented);
    return R{};
}
}  // namespace
Handle OpenSCManagerW(const char16_t*, const char16_t*, Dword) { return not_implemented<Handle>("OpenSCManagerW"); }
Handle OpenServiceW(Handle, const char16_t*, Dword) { return not_implemented<Handle>("OpenServiceW"); }
Handle CreateServiceW(Handle, const char16_t*, const char16_t*, Dword, Dword, Dword, Dword,
                      const char16_t*, const char16_t*, Dword*, const char16_t*,
                      const char16_t*, const char16_t*) { return not_implemented<Handle>("CreateServiceW"); }
Bool ChangeServiceConfig2W(Handle, Dword, void*) { return not_implemented<Bool>("ChangeServiceConfig2W"); }
Bool StartServiceW(Handle, Dword, const char16_t**) { return not_implemented<Bool>("StartServiceW"); }
Bool QueryServiceStatusEx(Handle, Dword, std::uint8_t*, Dword, Dword*) { return not_implemented<Bool>("QueryServiceStatusEx"); }
Bool CloseServiceHandle(Handle object) {
    fake::record({"CloseServiceHandle", {fake::number_of(object)}, {}});
    auto kind = fake::is_open(object, fake::HandleKind::manager) ? fake::HandleKind::manager
                                                                 : fake::HandleKind::service;
    if (!fake::close_handle(object, kind)) {
        SetLastError(error_invalid_handle);
        return 0;
    }
    return 1;
}
}  // namespace vek::platform
