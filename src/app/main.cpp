// vek-system-service-setup: registers and starts the vek-system-service
// service. Takes no arguments.
#include "app/entry.h"
#include "platform/win32.h"

int main() {
    // An administrator runs this from a folder that may hold other files:
    // from here on, DLLs load from the system directory only, never from the
    // installer's own folder or the current directory.
    (void)vek::platform::SetDefaultDllDirectories(vek::platform::load_library_search_system32);
    // The program's one thread, named for debuggers and crash reports.
    (void)vek::platform::SetThreadDescription(vek::platform::GetCurrentThread(), u"main");

    vek::PlatformOperations operations;
    vek::StdoutSteps output;
    return vek::run_process(operations, output);
}
