#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "device/UsbProtocol.hpp"
#include "device/UsbTransport.hpp"
#include "device/libusb/LibusbContext.hpp"

struct libusb_device_handle;

namespace tavik {

// An open unit reached through libusb, interface 0 claimed. It owns the handle: the destructor
// releases interface 0 and closes it, that is when the last std::shared_ptr to the transport goes,
// which may be a request worker still inside its transfer after the engine has let go. It holds
// the libusb session too, so the session outlives the handle whatever the order of destruction.
class LibusbTransport final : public UsbTransport {
  public:
    // How long one transfer may take before it fails with LIBUSB_ERROR_TIMEOUT.
    static constexpr std::chrono::milliseconds defaultTimeout = usb::transferTimeout;

    // Takes over `handle`, opened on `context` with interface 0 claimed.
    LibusbTransport(std::shared_ptr<LibusbContext> context, libusb_device_handle* handle,
                    std::chrono::milliseconds timeout = defaultTimeout);
    ~LibusbTransport() override;

    LibusbTransport(const LibusbTransport&) = delete;
    LibusbTransport& operator=(const LibusbTransport&) = delete;

    // One GET_DESCRIPTOR control transfer (type and index in wValue, the language in wIndex).
    DeviceResult getDescriptor(std::uint8_t type, std::uint8_t index, std::uint16_t languageId,
                               std::uint8_t* buffer, std::uint32_t length,
                               std::uint32_t& transferred) override;

    // libusb_control_transfer, synchronous, under the transport's time-out; its result is
    // resultFromLibusb of libusb's code. Refused without any transfer (as
    // LIBUSB_ERROR_INVALID_PARAM, nothing moved) when wLength asks for more than `length` bytes, or
    // for any bytes with no buffer: the data stage would otherwise run past the caller's buffer.
    DeviceResult controlTransfer(const SetupPacket& setup, std::uint8_t* buffer,
                                 std::uint32_t length, std::uint32_t& transferred) override;

  private:
    const std::shared_ptr<LibusbContext> context_;
    libusb_device_handle* const handle_;
    const unsigned timeoutMs_;
};

}  // namespace tavik
