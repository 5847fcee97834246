#pragma once

// What a failed Win32 call of the device layer means to the core: one table for the WinUSB
// adapter, from the call's last error to a portable status.
#include <windows.h>

#include "device/DeviceResult.hpp"

namespace tavik {

// Where the error came from: the same code means another thing to an open than to a transfer.
enum class Win32Call {
    open,      // loading the system DLLs, the configuration manager's lookup, CreateFileW,
               // WinUsb_Initialize
    transfer,  // WinUsb_ControlTransfer, WinUsb_GetDescriptor on an open unit
};

// The result of a failed call whose failure is `code` (HRESULT_FROM_WIN32 of its last error, or
// the lookup's own HRESULT): `code` itself, and the status of the Win32 error inside it.
//
//                                    open          transfer
//   ERROR_GEN_FAILURE (31)           other         stalled (WinUSB's stalled control pipe)
//   ERROR_SEM_TIMEOUT (121)          timedOut      timedOut
//   ERROR_DEVICE_NOT_CONNECTED, ERROR_NO_SUCH_DEVICE, ERROR_BAD_COMMAND
//                                    gone          gone
//   ERROR_FILE_NOT_FOUND, ERROR_NOT_FOUND
//                                    notFound      gone
//   ERROR_ACCESS_DENIED              accessDenied  accessDenied
//   ERROR_BUSY, ERROR_SHARING_VIOLATION
//                                    busy          busy
//
// Anything else, hrOk and codes outside the Win32 facility included, is other: never done, the
// call failed.
DeviceResult failedWin32Call(HResult code, Win32Call call);

}  // namespace tavik
