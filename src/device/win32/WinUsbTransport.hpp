#pragma once

#include <cstdint>

#include "device/UsbTransport.hpp"
#include "device/win32/DeviceData.hpp"
#include "device/win32/Win32Api.hpp"

namespace tavik {

// An open unit reached through WinUSB. It owns the unit's two handles: they are released by
// the destructor, that is when the last std::shared_ptr to the transport goes, which may be a
// request worker that is still inside its transfer when the engine has already let go. The
// transport keeps its own copy of the function table, so it does not depend on the
// Win32DeviceAccess that made it.
class WinUsbTransport final : public UsbTransport {
  public:
    // Takes over `device`, which must be open (handlesOpen true).
    WinUsbTransport(const Win32Api& api, const DeviceData& device);
    // closeDevice: WinUsb_Free, then CloseHandle.
    ~WinUsbTransport() override;

    WinUsbTransport(const WinUsbTransport&) = delete;
    WinUsbTransport& operator=(const WinUsbTransport&) = delete;

    // WinUsb_GetDescriptor. A failure's result is failedWin32Call of its last error, as a
    // transfer (Win32Error.hpp), as for controlTransfer.
    DeviceResult getDescriptor(std::uint8_t type, std::uint8_t index, std::uint16_t languageId,
                               std::uint8_t* buffer, std::uint32_t length,
                               std::uint32_t& transferred) override;

    // WinUsb_ControlTransfer without an OVERLAPPED structure: WinUSB blocks until the transfer
    // has ended, under its default time-out for the control pipe.
    DeviceResult controlTransfer(const SetupPacket& setup, std::uint8_t* buffer,
                                 std::uint32_t length, std::uint32_t& transferred) override;

  private:
    DeviceResult ended(BOOL ok) const;

    const Win32Api api_;
    DeviceData device_;
};

}  // namespace tavik
