// Firmware storage where executables carry no resources: the images are linked in as read-only
// data (FirmwareImageData.S) and live as long as the process.
#include <cstdint>

#include "firmware/FirmwareImage.hpp"

extern "C" {
extern const std::uint8_t tavik_firmware_103_begin[], tavik_firmware_103_end[];
extern const std::uint8_t tavik_firmware_104_begin[], tavik_firmware_104_end[];
extern const std::uint8_t tavik_firmware_105_begin[], tavik_firmware_105_end[];
}

namespace tavik {

namespace {

FirmwareImage view(const std::uint8_t* begin, const std::uint8_t* end) {
    return {begin, static_cast<std::uint32_t>(end - begin)};
}

}  // namespace

FirmwareImage loadFirmwareImage(int resourceId) {
    switch (resourceId) {
        case firmwareResource103:
            return view(tavik_firmware_103_begin, tavik_firmware_103_end);
        case firmwareResource104:
            return view(tavik_firmware_104_begin, tavik_firmware_104_end);
        case firmwareResource105:
            return view(tavik_firmware_105_begin, tavik_firmware_105_end);
        default:
            return {};
    }
}

}  // namespace tavik
