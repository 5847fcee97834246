#include "device/win32/Win32DeviceAccess.hpp"

#include <memory>

#include "device/win32/DeviceData.hpp"
#include "device/win32/Win32Error.hpp"
#include "device/win32/WinUsbTransport.hpp"

namespace tavik {

Win32DeviceAccess::Win32DeviceAccess() : Win32DeviceAccess(loadSystemWin32Api()) {}

Win32DeviceAccess::Win32DeviceAccess(const Win32ApiLoad& load) : load_(load) {}

OpenResult Win32DeviceAccess::openDevice() {
    OpenResult open;
    if (failed(load_.result)) {
        open.result = failedWin32Call(load_.result, Win32Call::open);
        return open;
    }
    DeviceData device{};
    BOOL deviceNotFound = FALSE;
    open.result = tavik::openDevice(load_.api, device, &deviceNotFound);
    open.deviceNotFound = deviceNotFound != FALSE;
    if (device.handlesOpen) {
        open.device = std::make_shared<WinUsbTransport>(load_.api, device);
    }
    return open;
}

}  // namespace tavik
