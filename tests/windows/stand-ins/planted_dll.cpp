// A DLL planted beside the installer in the DLL-planting test. Loading it
// leaves a marker file beside it, "<its own path>.loaded", so the test can
// tell whether any process loaded it.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t path[1024];
        DWORD length = GetModuleFileNameW(instance, path, 1000);
        if (length > 0 && length < 1000) {
            lstrcatW(path, L".loaded");
            HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
            if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
        }
    }
    return TRUE;
}
