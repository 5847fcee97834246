#include "device/libusb/LibusbTransport.hpp"

#include <libusb.h>

#include <algorithm>
#include <limits>
#include <utility>

#include "device/UsbProtocol.hpp"
#include "device/libusb/LibusbError.hpp"

namespace tavik {

LibusbTransport::LibusbTransport(std::shared_ptr<LibusbContext> context,
                                 libusb_device_handle* handle, std::chrono::milliseconds timeout)
    : context_(std::move(context)),
      handle_(handle),
      // libusb reads a time-out of 0 as "no limit": the shortest limit it can honour is 1 ms.
      timeoutMs_(
          static_cast<unsigned>(std::max<std::chrono::milliseconds::rep>(timeout.count(), 1))) {}

LibusbTransport::~LibusbTransport() {
    // Fails harmlessly when the unit has gone; the close that follows frees the handle anyway.
    libusb_release_interface(handle_, 0);
    libusb_close(handle_);
}

DeviceResult LibusbTransport::getDescriptor(std::uint8_t type, std::uint8_t index,
                                            std::uint16_t languageId, std::uint8_t* buffer,
                                            std::uint32_t length, std::uint32_t& transferred) {
    transferred = 0;
    if (length > std::numeric_limits<std::uint16_t>::max()) {
        return resultFromLibusb(LIBUSB_ERROR_INVALID_PARAM);  // wLength cannot say it
    }
    return controlTransfer(
        usb::descriptorRequest(type, index, languageId, static_cast<std::uint16_t>(length)), buffer,
        length, transferred);
}

DeviceResult LibusbTransport::controlTransfer(const SetupPacket& setup, std::uint8_t* buffer,
                                              std::uint32_t length, std::uint32_t& transferred) {
    transferred = 0;
    if (setup.length > length || (setup.length != 0 && buffer == nullptr)) {
        return resultFromLibusb(LIBUSB_ERROR_INVALID_PARAM);
    }
    const int moved =
        libusb_control_transfer(handle_, setup.requestType, setup.request, setup.value, setup.index,
                                buffer, setup.length, timeoutMs_);
    if (moved >= 0) {
        transferred = static_cast<std::uint32_t>(moved);
    }
    return resultFromLibusb(moved);
}

}  // namespace tavik
