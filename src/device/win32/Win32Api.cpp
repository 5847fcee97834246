#include "device/win32/Win32Api.hpp"

namespace tavik {
namespace {

// The loader's error as a failure code; `fallback` in case the loader left none.
HResult lastLoaderError(DWORD fallback) {
    const DWORD error = ::GetLastError();
    return hresultFromWin32(error != ERROR_SUCCESS ? error : fallback);
}

// Stores the address of `name` in `slot`; false when the module does not export it. The detour
// through void(*)() is the one conversion of a FARPROC that compilers accept without a warning
// about incompatible function types.
template <typename Function>
bool resolve(HMODULE module, const char* name, Function& slot) {
    const FARPROC address = ::GetProcAddress(module, name);
    if (address == nullptr) {
        return false;
    }
    slot = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
    return true;
}

}  // namespace

Win32ApiLoad loadSystemWin32Api(const wchar_t* winusbDll, const wchar_t* cfgmgrDll) {
    Win32ApiLoad load;
    Win32Api& api = load.api;
    api.CreateFileW = &::CreateFileW;
    api.CloseHandle = &::CloseHandle;
    api.GetLastError = &::GetLastError;
    api.GetProcessHeap = &::GetProcessHeap;
    api.HeapAlloc = &::HeapAlloc;
    api.HeapFree = &::HeapFree;

    const HMODULE cfgmgr = ::LoadLibraryExW(cfgmgrDll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (cfgmgr == nullptr) {
        load.result = lastLoaderError(ERROR_MOD_NOT_FOUND);
        return load;
    }
    const HMODULE winusb = ::LoadLibraryExW(winusbDll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (winusb == nullptr) {
        load.result = lastLoaderError(ERROR_MOD_NOT_FOUND);
        return load;
    }

    const bool complete =
        resolve(cfgmgr, "CM_Get_Device_Interface_List_SizeW",
                api.CM_Get_Device_Interface_List_SizeW) &&
        resolve(cfgmgr, "CM_Get_Device_Interface_ListW", api.CM_Get_Device_Interface_ListW) &&
        resolve(winusb, "WinUsb_Initialize", api.WinUsb_Initialize) &&
        resolve(winusb, "WinUsb_Free", api.WinUsb_Free) &&
        resolve(winusb, "WinUsb_GetDescriptor", api.WinUsb_GetDescriptor) &&
        resolve(winusb, "WinUsb_ControlTransfer", api.WinUsb_ControlTransfer);
    if (!complete) {
        load.result = lastLoaderError(ERROR_PROC_NOT_FOUND);
        return load;
    }
    // Optional (see Win32Api): its absence is no failure.
    resolve(cfgmgr, "CM_MapCrToWin32Err", api.CM_MapCrToWin32Err);
    return load;
}

HResult configRetToHResult(const Win32Api& api, CONFIGRET cr) {
    const DWORD error = api.CM_MapCrToWin32Err != nullptr
                            ? api.CM_MapCrToWin32Err(cr, ERROR_INVALID_DATA)
                            : static_cast<DWORD>(ERROR_INVALID_DATA);
    return hresultFromWin32(error);
}

}  // namespace tavik
