// A planted winusb.dll: the system's exported names, placed beside a test executable. Loading it
// at all sets the process environment variable TAVIK_PLANTED_WINUSB and leaves the file
// "planted-dll-was-loaded" beside the executable, for tests that watch a process from outside.
// Every export fails.
#include <windows.h>

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        SetEnvironmentVariableW(L"TAVIK_PLANTED_WINUSB", L"loaded");
        wchar_t path[MAX_PATH + 32] = {};
        DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        while (length > 0 && path[length - 1] != L'\\') {
            --length;
        }
        lstrcpyW(path + length, L"planted-dll-was-loaded");
        const HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (marker != INVALID_HANDLE_VALUE) {
            CloseHandle(marker);
        }
    }
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI WinUsb_Initialize(HANDLE, void**) {
    return FALSE;
}
__declspec(dllexport) BOOL WINAPI WinUsb_Free(void*) {
    return FALSE;
}
__declspec(dllexport) BOOL WINAPI
    WinUsb_GetDescriptor(void*, UCHAR, UCHAR, USHORT, PUCHAR, ULONG, PULONG) {
    return FALSE;
}
__declspec(dllexport) BOOL WINAPI
    WinUsb_ControlTransfer(void*, ULONGLONG, PUCHAR, ULONG, PULONG, LPOVERLAPPED) {
    return FALSE;
}

}  // extern "C"
