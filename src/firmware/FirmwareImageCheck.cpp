#include "firmware/FirmwareImageCheck.hpp"

#include <algorithm>

#include "firmware/FirmwareCatalog.hpp"
#include "firmware/FirmwareImageHeader.hpp"

namespace tavik {

std::vector<std::string> checkFirmwareImage(int resourceId, std::span<const std::uint8_t> image) {
    std::vector<std::string> problems;
    const auto entry =
        std::find_if(firmwareCatalog.begin(), firmwareCatalog.end(),
                     [resourceId](const FirmwareEntry& e) { return e.resourceId == resourceId; });
    if (entry == firmwareCatalog.end()) {
        problems.push_back("no catalogue entry names resource " + std::to_string(resourceId));
    }
    const auto header = FirmwareImageHeader::read(image);
    if (!header) {
        problems.push_back("image of " + std::to_string(image.size()) +
                           " bytes is shorter than its 64-byte header");
        return problems;
    }
    const std::uint64_t payload = image.size() - FirmwareImageHeader::size;
    if (payload != header->payloadLength) {
        problems.push_back("payloadLength is " + std::to_string(header->payloadLength) +
                           " but the image holds " + std::to_string(payload) +
                           " bytes after the header");
    }
    const auto version = header->terminatedVersionText();
    if (!version) {
        problems.push_back("versionText has no NUL inside its 60 bytes");
    } else if (entry != firmwareCatalog.end() && *version != entry->targetVersion) {
        problems.push_back("versionText \"" + *version + "\" differs from the catalogue's \"" +
                           std::string(entry->targetVersion) + "\"");
    }
    const std::uint64_t blocks = (image.size() + 63) / 64;
    if (blocks > maxFirmwareBlocks) {
        problems.push_back("image has " + std::to_string(blocks) +
                           " blocks of 64 bytes, more than " + std::to_string(maxFirmwareBlocks));
    }
    return problems;
}

}  // namespace tavik
