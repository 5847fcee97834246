#pragma once

#include <memory>

#include "device/DeviceResult.hpp"
#include "device/UsbTransport.hpp"

namespace tavik {

// What an attempt to open the unit gave.
struct OpenResult {
    // done (code hrOk) with `device` set; otherwise why not, with `device` null. Its code is the
    // HRESULT of "Failed looking for device, HRESULT 0x%x"; accessDenied is the failure the window
    // names a remedy for.
    DeviceResult result{.status = DeviceStatus::notFound, .code = hrNotFound};
    // Set when the device-interface class asked last had no present interface at all.
    bool deviceNotFound = false;
    // The open unit; closing it is dropping the last reference (see UsbTransport).
    std::shared_ptr<UsbTransport> device;
};

// Finding and opening the first present unit. Adapters: the configuration manager with
// CreateFileW and WinUsb_Initialize (Windows), libusb's device list with libusb_open and the claim
// of interface 0 (Linux, macOS), the simulated unit (tests, demo).
class DeviceAccess {
  public:
    // Looks for the unit under the primary device-interface class, then (only if that lookup
    // failed) under the secondary one, and opens the first path found. Called on the event-loop
    // thread only, and only while no unit is open. Synchronous; logs nothing.
    virtual OpenResult openDevice() = 0;

  protected:
    ~DeviceAccess() = default;
};

}  // namespace tavik
