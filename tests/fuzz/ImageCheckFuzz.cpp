// Fuzz target: the image check and the image header over arbitrary files.
//
// Input: one byte choosing the resource id (103, 104, 105, or for any other value that value
// itself, which names no image), then the file's bytes.
// Oracle: the check finds nothing wrong exactly when the file is sound (64 + payloadLength bytes,
// a NUL-terminated version text equal to the catalogue's for that id, at most 65,535 blocks),
// and a header read and written again gives the same 64 bytes.
#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "firmware/FirmwareCatalog.hpp"
#include "firmware/FirmwareImage.hpp"
#include "firmware/FirmwareImageCheck.hpp"
#include "firmware/FirmwareImageHeader.hpp"
#include "fuzz/Invariant.hpp"

using namespace tavik;
using namespace tavik::fuzz;

namespace {

// Soundness read straight from the bytes, independently of FirmwareImageHeader.
bool isSound(int resourceId, std::span<const std::uint8_t> file) {
    const auto entry =
        std::find_if(firmwareCatalog.begin(), firmwareCatalog.end(),
                     [&](const FirmwareEntry& e) { return e.resourceId == resourceId; });
    if (entry == firmwareCatalog.end() || file.size() < FirmwareImageHeader::size) {
        return false;
    }
    const std::uint64_t payloadLength =
        file[0] | file[1] << 8 | file[2] << 16 | std::uint64_t{file[3]} << 24;
    const auto text = file.subspan(4, FirmwareImageHeader::versionTextSize);
    const auto nul = std::find(text.begin(), text.end(), std::uint8_t{0});
    return payloadLength == file.size() - FirmwareImageHeader::size && nul != text.end() &&
           std::string_view(reinterpret_cast<const char*>(text.data()), nul - text.begin()) ==
               entry->targetVersion &&
           (file.size() + 63) / 64 <= maxFirmwareBlocks;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const int ids[] = {firmwareResource103, firmwareResource104, firmwareResource105};
    const int resourceId = data[0] < 3 ? ids[data[0]] : data[0];
    const std::span<const std::uint8_t> file(data + 1, size - 1);

    const std::vector<std::string> problems = checkFirmwareImage(resourceId, file);
    require(problems.empty() == isSound(resourceId, file),
            "the check passes a file exactly when it is sound");
    require(std::none_of(problems.begin(), problems.end(),
                         [](const std::string& p) { return p.empty(); }),
            "every problem is named");

    const auto header = FirmwareImageHeader::read(file);
    require(header.has_value() == (file.size() >= FirmwareImageHeader::size),
            "a header is read from 64 bytes or more");
    if (header) {
        std::array<std::uint8_t, FirmwareImageHeader::size> written{};
        header->write(written);
        require(std::equal(written.begin(), written.end(), file.begin()),
                "a header written again gives the bytes it was read from");
        const auto text = header->terminatedVersionText();
        require(!text || (text->size() < FirmwareImageHeader::versionTextSize &&
                          text->find('\0') == std::string::npos),
                "the terminated version text lies inside the 60 bytes, NUL excluded");
    }
    return 0;
}
