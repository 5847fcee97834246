#pragma once

// Finding, opening and closing the unit through the configuration manager, CreateFileW and
// WinUSB. Every system call goes through the Win32Api table given as the first argument.
// Nothing here logs or retries beyond what is stated; the caller decides what a code means.
#include <windows.h>

#include <winusb.h>

#include <string>
#include <vector>

#include "device/DeviceResult.hpp"
#include "device/HResult.hpp"
#include "device/win32/Win32Api.hpp"

namespace tavik {

// The open-unit record. A value-initialised record (DeviceData{}) is closed: handlesOpen false,
// both handles null, the path empty. The handle fields mean something only while handlesOpen
// is true; after a failed open or a close they may hold stale values and are never used.
struct DeviceData {
    BOOL handlesOpen = FALSE;
    WINUSB_INTERFACE_HANDLE winusbHandle = nullptr;  // the unit's first interface
    HANDLE deviceHandle = nullptr;                   // the interface path, opened overlapped
    WCHAR devicePath[MAX_PATH] = {};                 // NUL-terminated path of the unit last found
};

// Copies the first present interface path of `interfaceClass` into `path`, which holds
// `pathBytes` bytes (pathBytes / 2 code units, the terminator included). Clears *deviceNotFound
// first when given, and sets it when the class has no present interface.
//
// Returns hrOk when the whole path fits; hrNotFound (0x80070490) for an empty class;
// hrOutOfMemory when the list buffer cannot be allocated; hrInsufficientBuffer (0x8007007A)
// with the path cut to fit and terminated; hrInvalidArg when `path` holds less than one code
// unit (nothing is written); configRetToHResult of any other configuration-manager failure.
// The list is fetched again, with no limit, as long as it grows between its size query and
// its fetch (CR_BUFFER_SMALL).
HResult retrieveDevicePath(const Win32Api& api, WCHAR* path, ULONG pathBytes, BOOL* deviceNotFound,
                           const GUID& interfaceClass);

// Finds and opens the unit. `device` must be closed on entry: its old handles are overwritten,
// not released. Looks up the primary class, and the secondary one only when that lookup failed in
// any way (a cut-short path included), into device.devicePath; opens the path with CreateFileW for
// overlapped read/write and WinUsb_Initialize on it. On success both handles are stored and
// handlesOpen is true, and the result is done. On failure no handle is left open and handlesOpen
// is false; the result is failedWin32Call (Win32Error.hpp, as an open) of the failing lookup's
// code, or of HRESULT_FROM_WIN32(GetLastError()) of the failing CreateFileW or WinUsb_Initialize.
// *deviceNotFound, when given, tells whether the class asked last had no present interface.
DeviceResult openDevice(const Win32Api& api, DeviceData& device, BOOL* deviceNotFound);

// Appends every present interface path of `interfaceClass` to `paths`, in the configuration
// manager's order. hrOk, with nothing appended for an empty class; hrOutOfMemory or
// configRetToHResult of a failing query, as retrieveDevicePath.
HResult retrieveDevicePaths(const Win32Api& api, const GUID& interfaceClass,
                            std::vector<std::wstring>& paths);

// Opens the unit at `path` as openDevice opens the path it found (CreateFileW, then
// WinUsb_Initialize), with the same results; `device.devicePath` is left as it is.
DeviceResult openDevicePath(const Win32Api& api, DeviceData& device, const WCHAR* path);

// Releases an open unit: WinUsb_Free, then CloseHandle, then handlesOpen false. Does nothing
// when the unit is not open, so it is safe to repeat. The handle fields keep their old values.
void closeDevice(const Win32Api& api, DeviceData& device);

}  // namespace tavik
