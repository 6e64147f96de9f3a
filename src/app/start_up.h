// What the program does first, before the install sequence.
#pragma once

namespace vek {

// Restricts DLL loading to the system directory, so that no DLL is ever
// loaded from the installer's own folder or the current directory, and names
// the calling thread "main" where the platform has thread names (kernel32
// exports SetThreadDescription from Windows 10 1607 on; before that the
// thread stays unnamed). Neither step can fail the run.
void prepare_process();

}  // namespace vek
