#include "firmware/FirmwareImageHeader.hpp"

#include <algorithm>
#include <cstring>

namespace tavik {

std::optional<FirmwareImageHeader> FirmwareImageHeader::read(std::span<const std::uint8_t> image) {
    if (image.size() < size) {
        return std::nullopt;
    }
    FirmwareImageHeader header;
    header.payloadLength =
        static_cast<std::uint32_t>(image[0]) | static_cast<std::uint32_t>(image[1]) << 8 |
        static_cast<std::uint32_t>(image[2]) << 16 | static_cast<std::uint32_t>(image[3]) << 24;
    std::memcpy(header.versionText, image.data() + 4, versionTextSize);
    return header;
}

void FirmwareImageHeader::write(std::span<std::uint8_t, size> out) const {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(payloadLength >> (8 * i));
    }
    std::memcpy(out.data() + 4, versionText, versionTextSize);
}

std::optional<std::string> FirmwareImageHeader::terminatedVersionText() const {
    const char* end = std::find(versionText, versionText + versionTextSize, '\0');
    if (end == versionText + versionTextSize) {
        return std::nullopt;
    }
    return std::string(versionText, end);
}

}  // namespace tavik
