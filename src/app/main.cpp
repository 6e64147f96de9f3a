// vek-system-service-setup: registers and starts the vek-system-service
// service. Takes no arguments.
#include "app/entry.h"
#include "app/start_up.h"

int main() {
    // An administrator runs this from a folder that may hold other files:
    // first of all, DLLs load from the system directory only.
    vek::prepare_process();

    vek::PlatformOperations operations;
    vek::StdoutSteps output;
    return vek::run_process(operations, output);
}
