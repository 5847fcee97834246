#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "firmware/FirmwareImage.hpp"
#include "firmware/FirmwareImageHeader.hpp"

namespace tavik::test {

// An image of `size` bytes: a header naming `version` (when the image is long enough to hold
// one) followed by bytes that differ with `seed`.
inline std::vector<std::uint8_t> makeImage(std::size_t size, std::string_view version,
                                           std::uint8_t seed = 1) {
    std::vector<std::uint8_t> image(size);
    for (std::size_t i = 0; i < size; ++i) {
        image[i] = static_cast<std::uint8_t>(i * 31 + seed);
    }
    if (size >= FirmwareImageHeader::size) {
        FirmwareImageHeader header;
        header.payloadLength = static_cast<std::uint32_t>(size - FirmwareImageHeader::size);
        std::copy(version.begin(), version.end(), header.versionText);
        header.write(std::span<std::uint8_t, FirmwareImageHeader::size>(image.data(),
                                                                        FirmwareImageHeader::size));
    }
    return image;
}

inline std::vector<std::uint8_t> bytesOf(const FirmwareImage& image) {
    return {image.data, image.data + image.size};
}

}  // namespace tavik::test
