// vek-system-service-setup: registers and starts the vek-system-service
// service. Takes no arguments.
#include "app/entry.h"

int main() {
    vek::PlatformOperations operations;
    vek::StdoutSteps output;
    return vek::run_process(operations, output);
}
