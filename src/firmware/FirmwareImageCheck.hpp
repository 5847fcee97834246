#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tavik {

// Largest block count an image may have: its blocks must fit the 16-bit progress range.
inline constexpr std::uint64_t maxFirmwareBlocks = 65535;

// Everything wrong with the image stored under `resourceId`, one sentence each; empty when the
// image is sound: its size is 64 + payloadLength, its versionText is NUL-terminated inside its 60
// bytes and equals the catalogue's targetVersion for that id, and it has at most 65,535 blocks.
std::vector<std::string> checkFirmwareImage(int resourceId, std::span<const std::uint8_t> image);

}  // namespace tavik
