#pragma once

#include <memory>

#include "device/HResult.hpp"
#include "device/UsbTransport.hpp"

namespace tavik {

// What an attempt to open the unit gave.
struct OpenResult {
    // hrOk with `device` set, or a failure code with `device` null.
    HResult result = hrNotFound;
    // Set when the device-interface class asked last had no present interface at all.
    bool deviceNotFound = false;
    // The open unit; closing it is dropping the last reference (see UsbTransport).
    std::shared_ptr<UsbTransport> device;
};

// Finding and opening the first present unit. Adapters: the configuration manager with
// CreateFileW and WinUsb_Initialize (Windows), the simulated unit (tests, demo).
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
