// The planting test's control: loads "dbghelp.dll" the careless way, with the
// default search order that starts in the program's own folder. Placed beside
// a planted dbghelp.dll it must load that one, which shows that the test's
// set-up can catch a program that is not safe.
#include <windows.h>

int main() { return LoadLibraryW(L"dbghelp.dll") != nullptr ? 0 : 1; }
