#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tavik {

// The first 64 bytes of every firmware image, and so of the image a unit holds:
//   offset 0, 4 bytes   payloadLength  unsigned, little-endian: image size minus 64
//   offset 4, 60 bytes  versionText    ASCII such as "2.2.7+611", NUL-padded to the end
// The updater itself never parses an embedded image's header (the catalogue names its version);
// these helpers serve the image checks, the placeholder generator and the simulated unit.
struct FirmwareImageHeader {
    static constexpr std::size_t size = 64;
    static constexpr std::size_t versionTextSize = 60;

    std::uint32_t payloadLength = 0;
    char versionText[versionTextSize] = {};

    // Decodes the first 64 bytes; nullopt when fewer are given.
    static std::optional<FirmwareImageHeader> read(std::span<const std::uint8_t> image);

    // The 64 bytes of this header, little-endian.
    void write(std::span<std::uint8_t, size> out) const;

    // versionText up to its first NUL; nullopt when the 60 bytes hold no NUL.
    std::optional<std::string> terminatedVersionText() const;
};

}  // namespace tavik
