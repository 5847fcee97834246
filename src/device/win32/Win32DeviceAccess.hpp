#pragma once

#include <string>

#include "device/DeviceAccess.hpp"
#include "device/win32/Win32Api.hpp"

namespace tavik {

// DeviceAccess through the configuration manager, CreateFileW and WinUSB (openDevice of
// DeviceData.hpp). A unit it opens is a WinUsbTransport; closing it is dropping the last
// reference.
class Win32DeviceAccess final : public DeviceAccess {
  public:
    // Loads winusb.dll and cfgmgr32.dll from the system directory (loadSystemWin32Api).
    Win32DeviceAccess();
    // Uses a given table; tests hand in fakes. When `load.result` is a failure, every
    // openDevice returns that code (its status as Win32Error.hpp maps it), with the not-found
    // flag false, and calls nothing.
    explicit Win32DeviceAccess(const Win32ApiLoad& load);

    OpenResult openDevice() override;
    // The interface paths under both classes, each as its key in UTF-8.
    UnitList listUnits() override;
    OpenResult openUnit(const std::string& key) override;

    // How loading the table went: hrOk, or the code every openDevice returns.
    HResult loadResult() const { return load_.result; }

  private:
    Win32ApiLoad load_;
};

}  // namespace tavik
