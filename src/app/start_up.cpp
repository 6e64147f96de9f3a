#include "app/start_up.h"

#include "platform/win32.h"

namespace vek {

void prepare_process() {
    (void)platform::SetDefaultDllDirectories(platform::load_library_search_system32);

    // Looked up in the kernel32 that is already loaded: GetModuleHandleW
    // loads nothing and searches no folder.
    platform::Handle kernel32 = platform::GetModuleHandleW(u"kernel32.dll");
    if (kernel32 == nullptr) return;
    auto set_thread_description = reinterpret_cast<platform::SetThreadDescriptionProc>(
        platform::GetProcAddress(kernel32, "SetThreadDescription"));
    if (set_thread_description == nullptr) return;
    (void)set_thread_description(platform::GetCurrentThread(), u"main");
}

}  // namespace vek
