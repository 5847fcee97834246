#pragma once

#include <cstdint>

namespace tavik {

// Resource ids of the three embedded images.
inline constexpr int firmwareResource103 = 103;
inline constexpr int firmwareResource104 = 104;
inline constexpr int firmwareResource105 = 105;

// A read-only view of one whole embedded image (header included). The bytes belong to the
// executable and stay valid until the process ends; nobody copies or frees them.
struct FirmwareImage {
    const std::uint8_t* data = nullptr;
    std::uint32_t size = 0;
};

// The image stored under `resourceId`, or an empty view (null, 0) when there is none.
// Windows: the executable's "BINARY" resources. Elsewhere: images linked in as read-only data.
FirmwareImage loadFirmwareImage(int resourceId);

}  // namespace tavik
