#include "device/win32/WinUsbTransport.hpp"

#include "device/win32/Win32Error.hpp"

namespace tavik {

WinUsbTransport::WinUsbTransport(const Win32Api& api, const DeviceData& device)
    : api_(api), device_(device) {}

WinUsbTransport::~WinUsbTransport() {
    closeDevice(api_, device_);
}

DeviceResult WinUsbTransport::getDescriptor(std::uint8_t type, std::uint8_t index,
                                            std::uint16_t languageId, std::uint8_t* buffer,
                                            std::uint32_t length, std::uint32_t& transferred) {
    ULONG delivered = 0;
    const BOOL ok = api_.WinUsb_GetDescriptor(device_.winusbHandle, type, index, languageId, buffer,
                                              length, &delivered);
    transferred = ok ? delivered : 0;
    return ended(ok);
}

DeviceResult WinUsbTransport::controlTransfer(const SetupPacket& setup, std::uint8_t* buffer,
                                              std::uint32_t length, std::uint32_t& transferred) {
    WINUSB_SETUP_PACKET packet{};
    packet.RequestType = setup.requestType;
    packet.Request = setup.request;
    packet.Value = setup.value;
    packet.Index = setup.index;
    packet.Length = setup.length;
    ULONG delivered = 0;
    const BOOL ok = api_.WinUsb_ControlTransfer(device_.winusbHandle, packet, buffer, length,
                                                &delivered, nullptr);
    transferred = ok ? delivered : 0;
    return ended(ok);
}

// Read at once: nothing between the WinUSB call and here may change the thread's last error.
DeviceResult WinUsbTransport::ended(BOOL ok) const {
    if (ok) {
        return {};
    }
    return failedWin32Call(hresultFromWin32(api_.GetLastError()), Win32Call::transfer);
}

}  // namespace tavik
