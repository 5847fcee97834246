#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "device/DeviceAccess.hpp"
#include "device/libusb/LibusbContext.hpp"
#include "device/libusb/LibusbTransport.hpp"

struct libusb_device;

namespace tavik {

// DeviceAccess through libusb. openDevice takes the first unit in libusb's device-list order whose
// vendor is unitVendorId and whose product is one of the three unit product ids (others are
// skipped), opens it, lets libusb detach a kernel driver bound to it, and claims interface 0.
//
// listUnits gives each such unit's key: its bus and port path ("1-4.2"), or its bus and address
// ("1@7") where libusb cannot tell the ports; openUnit opens the unit of that key as openDevice
// opens the first.
//
// Results, the same contract as the Windows adapter: done with a LibusbTransport; no such unit
// at all: notFound (hrNotFound) with deviceNotFound set; any other failure (listing, opening,
// claiming): resultFromLibusb of its code, deviceNotFound false, and nothing left open.
class LibusbDeviceAccess final : public DeviceAccess {
  public:
    // A session of its own (LibusbContext::create). When that fails, every openDevice returns
    // the failure, with the not-found flag false, and touches nothing.
    LibusbDeviceAccess();
    // Uses the given session, which may be shared with a hotplug monitor; must not be null.
    // `transferTimeout` is handed to every transport it opens.
    explicit LibusbDeviceAccess(
        std::shared_ptr<LibusbContext> context,
        std::chrono::milliseconds transferTimeout = LibusbTransport::defaultTimeout);

    OpenResult openDevice() override;
    UnitList listUnits() override;
    OpenResult openUnit(const std::string& key) override;

    // How creating the session went: done, or the result every openDevice returns.
    const DeviceResult& initResult() const { return initResult_; }
    // The session, for a hotplug monitor to share; null when creating it failed.
    const std::shared_ptr<LibusbContext>& context() const { return context_; }

  private:
    explicit LibusbDeviceAccess(LibusbContext::Init init);
    // Opens the first unit in the list that `wanted` accepts.
    OpenResult openMatching(const std::function<bool(libusb_device*)>& wanted);

    DeviceResult initResult_;
    std::shared_ptr<LibusbContext> context_;
    std::chrono::milliseconds transferTimeout_;
};

}  // namespace tavik
