#pragma once

// The Win32 functions the device layer calls, gathered in one table of pointers.
//
// The table is both the defence against DLL planting and the seam for the cross-built tests:
// - winusb.dll and cfgmgr32.dll are loaded from the system directory only and reached through
//   GetProcAddress, so the executable's import table names neither of them and a DLL of the same
//   name placed beside a downloaded updater is never loaded;
// - the tests hand the device layer a table of fakes, which lets them script the configuration
//   manager, the file system and WinUSB, and fail any call on purpose.
#include <windows.h>

#include <cfgmgr32.h>
#include <winusb.h>

#include "device/HResult.hpp"

namespace tavik {

// Not every SDK's cfgmgr32.h declares CM_MapCrToWin32Err (MinGW-w64's does not); its documented
// signature.
using CmMapCrToWin32ErrFunction = DWORD(WINAPI*)(CONFIGRET cmReturnCode, DWORD defaultError);

struct Win32Api {
    // cfgmgr32.dll
    decltype(&::CM_Get_Device_Interface_List_SizeW) CM_Get_Device_Interface_List_SizeW = nullptr;
    decltype(&::CM_Get_Device_Interface_ListW) CM_Get_Device_Interface_ListW = nullptr;
    // Optional: systems before Windows 8 and Wine 8's own cfgmgr32.dll lack it. When null, every
    // failure of the configuration manager maps to the default error (see configRetToHResult).
    CmMapCrToWin32ErrFunction CM_MapCrToWin32Err = nullptr;

    // kernel32.dll: always loaded, named here only so that tests can fake them.
    decltype(&::CreateFileW) CreateFileW = nullptr;
    decltype(&::CloseHandle) CloseHandle = nullptr;
    decltype(&::GetLastError) GetLastError = nullptr;
    decltype(&::GetProcessHeap) GetProcessHeap = nullptr;
    decltype(&::HeapAlloc) HeapAlloc = nullptr;
    decltype(&::HeapFree) HeapFree = nullptr;

    // winusb.dll
    decltype(&::WinUsb_Initialize) WinUsb_Initialize = nullptr;
    decltype(&::WinUsb_Free) WinUsb_Free = nullptr;
    decltype(&::WinUsb_GetDescriptor) WinUsb_GetDescriptor = nullptr;
    decltype(&::WinUsb_ControlTransfer) WinUsb_ControlTransfer = nullptr;
};

// A table and how loading it went: `api` is complete only when `result` is hrOk.
struct Win32ApiLoad {
    HResult result = hrOk;
    Win32Api api;
};

// Loads the two DLLs with LoadLibraryExW(LOAD_LIBRARY_SEARCH_SYSTEM32) and resolves every entry.
// The modules are never freed: a WinUsbTransport keeps calling into winusb.dll from whichever
// thread releases it last, possibly after every other owner is gone, and the process exit
// releases them anyway.
//
// Failure: a DLL that cannot be loaded gives HRESULT_FROM_WIN32 of the loader's error (a missing
// DLL: ERROR_MOD_NOT_FOUND, 0x8007007E); a required function that the DLL does not export gives
// 0x8007007F (ERROR_PROC_NOT_FOUND). The names can be changed only so that tests can ask for
// DLLs that do not exist or do not export the functions.
Win32ApiLoad loadSystemWin32Api(const wchar_t* winusbDll = L"winusb.dll",
                                const wchar_t* cfgmgrDll = L"cfgmgr32.dll");

// HRESULT_FROM_WIN32(CM_MapCrToWin32Err(cr, ERROR_INVALID_DATA)), or 0x8007000D when the table
// has no mapping function.
HResult configRetToHResult(const Win32Api& api, CONFIGRET cr);

}  // namespace tavik
