// Makes a placeholder firmware image: a valid 64-byte header followed by deterministic filler.
// The filler is not firmware; these images exist to exercise the updater against the simulated
// unit and must never be written to a real unit.
// Usage: make_placeholder_image OUT SIZE VERSION SEED
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "firmware/FirmwareImageHeader.hpp"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s OUT SIZE VERSION SEED\n", argv[0]);
        return 2;
    }
    const std::uint64_t size = std::strtoull(argv[2], nullptr, 10);
    const std::string version = argv[3];
    std::uint64_t state = std::strtoull(argv[4], nullptr, 10);
    if (size < tavik::FirmwareImageHeader::size ||
        version.size() >= tavik::FirmwareImageHeader::versionTextSize) {
        std::fprintf(stderr, "size must be at least 64 and the version at most 59 characters\n");
        return 2;
    }

    std::vector<std::uint8_t> image(size);
    tavik::FirmwareImageHeader header;
    header.payloadLength = static_cast<std::uint32_t>(size - tavik::FirmwareImageHeader::size);
    std::memcpy(header.versionText, version.data(), version.size());
    header.write(std::span<std::uint8_t, 64>(image.data(), 64));

    static const char marker[] =
        "TAVIK PLACEHOLDER IMAGE - TEST DATA FOR THE SIMULATED UNIT - NEVER WRITE TO A REAL UNIT\n";
    std::size_t at = tavik::FirmwareImageHeader::size;
    for (std::size_t i = 0; i + 1 < sizeof marker && at < size; ++i) {
        image[at++] = static_cast<std::uint8_t>(marker[i]);
    }
    // SplitMix64: a fixed, portable sequence, so the files can be made again bit for bit.
    while (at < size) {
        state += 0x9E3779B97F4A7C15ull;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        for (int b = 0; b < 8 && at < size; ++b) {
            image[at++] = static_cast<std::uint8_t>(z >> (8 * b));
        }
    }

    std::ofstream out(argv[1], std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(size));
    return out ? 0 : 1;
}
