// A planted winusb.dll, placed beside a test executable under that name and as
// tavik-planted.dll. Loading it at all sets the process environment variable
// TAVIK_PLANTED_WINUSB; it exports nothing.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        SetEnvironmentVariableW(L"TAVIK_PLANTED_WINUSB", L"loaded");
    }
    return TRUE;
}
