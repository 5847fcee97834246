#pragma once

#include <cstdint>

#include "device/DeviceResult.hpp"
#include "device/SetupPacket.hpp"

namespace tavik {

// An open unit: the only way the core exchanges anything with it. Adapters: WinUSB (Windows),
// libusb (Linux, macOS), the simulated unit (tests, demo).
//
// Ownership: whoever holds a std::shared_ptr to the transport keeps the unit's handles open.
// The engine drops its reference when the unit is closed; a request worker still inside a
// transfer holds its own reference, so the handles are released only after that transfer has
// returned, on whichever thread lets go last. The destructor releases the handles (WinUSB: the
// interface handle first, then the file handle) and must not block on anything but that.
class UsbTransport {
  public:
    virtual ~UsbTransport() = default;

    // Reads a standard descriptor (GET_DESCRIPTOR) into buffer[0..length). Synchronous; called
    // on the event-loop thread only, during identification. Returns how the transfer ended and
    // sets `transferred` to the bytes delivered (0 on failure).
    virtual DeviceResult getDescriptor(std::uint8_t type, std::uint8_t index,
                                       std::uint16_t languageId, std::uint8_t* buffer,
                                       std::uint32_t length, std::uint32_t& transferred) = 0;

    // One control transfer on the default pipe, synchronous: returns only when the transfer has
    // ended (or failed, or the unit is gone). `buffer` holds `length` bytes for the data stage
    // (may be null when length is 0); device-to-host data is written there. Sets `transferred`
    // to the bytes moved (0 on failure). Returns how it ended: done, or why it failed (a stall,
    // the unit gone, a time-out...). Called on the event-loop thread (the version read) or on one
    // request worker at a time; never on two threads at once for the same transport.
    virtual DeviceResult controlTransfer(const SetupPacket& setup, std::uint8_t* buffer,
                                         std::uint32_t length, std::uint32_t& transferred) = 0;
};

}  // namespace tavik
