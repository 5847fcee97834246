#pragma once

#include <memory>
#include <string>
#include <vector>

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

// The units present when they were listed, each by the key that opens it again.
struct UnitList {
    // done (even when nothing is present), or why the platform could not list at all; `keys` is
    // then empty.
    DeviceResult result;
    // In the platform's order: the first one is the unit openDevice opens. A key means something
    // only to the access that listed it (a bus and port path, an interface path).
    std::vector<std::string> keys;
};

// Finding and opening units. Adapters: the configuration manager with CreateFileW and
// WinUsb_Initialize (Windows), libusb's device list with libusb_open and the claim of interface 0
// (Linux, macOS), the simulated unit (tests, demo). Every call is made on the event-loop thread
// only; each is synchronous and logs nothing.
class DeviceAccess {
  public:
    // Looks for the unit under the primary device-interface class, then (only if that lookup
    // failed) under the secondary one, and opens the first path found. Called only while no unit
    // is open.
    virtual OpenResult openDevice() = 0;

    // Lists the units present, without opening any.
    virtual UnitList listUnits() = 0;

    // Opens the unit listed under `key`, as openDevice opens the first. A key that names no unit
    // present any more (it left since it was listed) gives notFound with deviceNotFound set.
    virtual OpenResult openUnit(const std::string& key) = 0;

  protected:
    ~DeviceAccess() = default;
};

}  // namespace tavik
