#pragma once

#include "device/HResult.hpp"

namespace tavik {

// How a call to the unit ended, in terms every adapter can say and the core can act on. Each
// adapter maps its platform's own errors to these in one table (WinUSB and the Win32 calls of an
// open: Win32Error.cpp; libusb: LibusbError.cpp; the simulated unit: its faults).
enum class DeviceStatus {
    done,          // it did what was asked
    stalled,       // the unit refused the request: a stall of the default pipe
    gone,          // the unit left the bus after it was found, or during the call
    timedOut,      // the transfer did not end within its time-out
    accessDenied,  // this user may not open the unit
    busy,          // another program or driver holds it
    notFound,      // nothing to open: no unit listed, or what was listed names nothing
    other,         // any other failure
};

// A status and the platform's code for it. `code` is the HRESULT a Windows host reports for the
// cause, which is what the log prints ("Failed looking for device, HRESULT 0x%x" after an open);
// the libusb adapter gives the code Windows would for the same cause. No line prints a
// transfer's code: the WinUSB and libusb adapters fill it in all the same, the simulated unit
// leaves it hrOk. A failure may carry hrOk (a Win32 call that failed with no last error).
struct DeviceResult {
    DeviceStatus status = DeviceStatus::done;
    HResult code = hrOk;

    bool ok() const { return status == DeviceStatus::done; }
};

}  // namespace tavik
