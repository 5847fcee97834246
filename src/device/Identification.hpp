#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "device/UsbTransport.hpp"

namespace tavik {

// The unit's ids. Units with the short-branch product id answer no version read; their version
// is shown as "XMOS".
inline constexpr std::uint16_t unitVendorId = 0x07FD;
inline constexpr std::uint16_t unitProductId = 0x000D;
inline constexpr std::uint16_t unitShortBranchProductId = 0x0009;
inline constexpr std::uint16_t unitProductIdLater = 0x001D;
inline constexpr std::string_view shortBranchVersion = "XMOS";
// Every product id of the unit, in the order identifyDevice takes them.
inline constexpr std::array<std::uint16_t, 3> unitProductIds{
    unitProductId, unitShortBranchProductId, unitProductIdLater};

// True for the unit's vendor with one of its product ids.
constexpr bool isUnitId(std::uint16_t vendorId, std::uint16_t productId) {
    return vendorId == unitVendorId && std::find(unitProductIds.begin(), unitProductIds.end(),
                                                 productId) != unitProductIds.end();
}

// The texts identification reads from a unit.
struct DeviceIdentity {
    std::string product;  // for the short-branch product id only its first two characters
    std::string serial;
    std::string version;  // empty when the version read did not deliver 64 bytes
};

enum class Identification {
    recognised,       // one of the supported units; `identity` replaced
    descriptorError,  // the device descriptor could not be read whole
    notRecognised,    // another vendor or product; `identity` untouched
};

// Identifies the open unit: its device descriptor, then its product and serial strings and, for
// the full-branch product ids, the version from the header of the image it holds (one DFU_UPLOAD
// of block 0, into a buffer of this call's own). Synchronous, on the event-loop thread; logs
// nothing: the caller chooses the log line from the result.
Identification identifyDevice(UsbTransport& device, std::uint16_t vendorId,
                              std::uint16_t productId1, std::uint16_t productId2,
                              std::uint16_t productId3, DeviceIdentity& identity);

// A string descriptor (language 0x0409) as 8-bit text: the low byte of each UTF-16 code unit,
// bLength / 2 - 1 characters. The first read takes bLength alone; 0 (or a failed read) gives the
// empty text with no second read. Bytes that the second read does not deliver count as zero.
std::string getStringDescriptor(UsbTransport& device, std::uint8_t index);

// The version text of a 64-byte version reply: bytes 4..63 up to the first NUL, all 60 of them
// when there is none.
std::string versionFromReply(std::span<const std::uint8_t, 64> reply);

}  // namespace tavik
