// A planted winusb.dll: the same exported names as the system's, placed beside the test
// executable. Loading it at all sets the process environment variable TAVIK_PLANTED_WINUSB, and
// every export refuses to work, so a test sees at once whether this file was picked up.
#include <windows.h>

namespace {

void reveal(const wchar_t* what) {
    SetEnvironmentVariableW(L"TAVIK_PLANTED_WINUSB", what);
}

}  // namespace

extern "C" {

// Also leaves the file "planted-dll-was-loaded" beside the executable, for tests that watch a
// process from outside.
static void leaveMarkerFile() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t* name = path + length;
    while (name > path && *(name - 1) != L'\\') {
        --name;
    }
    lstrcpynW(name, L"planted-dll-was-loaded", static_cast<int>(MAX_PATH - (name - path)));
    HANDLE marker =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE) {
        CloseHandle(marker);
    }
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        reveal(L"loaded");
        leaveMarkerFile();
    }
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI WinUsb_Initialize(HANDLE, void**) {
    reveal(L"WinUsb_Initialize");
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

__declspec(dllexport) BOOL WINAPI WinUsb_Free(void*) {
    reveal(L"WinUsb_Free");
    return FALSE;
}

__declspec(dllexport) BOOL WINAPI
    WinUsb_GetDescriptor(void*, UCHAR, UCHAR, USHORT, PUCHAR, ULONG, PULONG) {
    reveal(L"WinUsb_GetDescriptor");
    return FALSE;
}

__declspec(dllexport) BOOL WINAPI
    WinUsb_ControlTransfer(void*, ULONGLONG, PUCHAR, ULONG, PULONG, LPOVERLAPPED) {
    reveal(L"WinUsb_ControlTransfer");
    return FALSE;
}

}  // extern "C"
