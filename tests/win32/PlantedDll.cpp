// A DLL that an attacker might plant next to a downloaded updater under the name winusb.dll or
// cfgmgr32.dll. If it is ever loaded it leaves the file "planted-dll-was-loaded" in the folder
// of the executable, which the tests look for.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t path[MAX_PATH] = {};
        const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        wchar_t* slash = path + length;
        while (slash > path && *(slash - 1) != L'\\') {
            --slash;
        }
        lstrcpyW(slash, L"planted-dll-was-loaded");
        HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (marker != INVALID_HANDLE_VALUE) {
            CloseHandle(marker);
        }
    }
    return TRUE;
}
