#pragma once

#include <array>
#include <cstdint>

namespace tavik {

// The 8-byte setup stage of a USB control transfer (USB 2.0, 9.3), fields named as on the wire.
struct SetupPacket {
    std::uint8_t requestType = 0;  // bmRequestType
    std::uint8_t request = 0;      // bRequest
    std::uint16_t value = 0;       // wValue
    std::uint16_t index = 0;       // wIndex
    std::uint16_t length = 0;      // wLength

    // The packet as the bus carries it, 16-bit fields little-endian.
    std::array<std::uint8_t, 8> bytes() const {
        return {requestType,
                request,
                static_cast<std::uint8_t>(value),
                static_cast<std::uint8_t>(value >> 8),
                static_cast<std::uint8_t>(index),
                static_cast<std::uint8_t>(index >> 8),
                static_cast<std::uint8_t>(length),
                static_cast<std::uint8_t>(length >> 8)};
    }

    friend bool operator==(const SetupPacket&, const SetupPacket&) = default;
};

}  // namespace tavik
