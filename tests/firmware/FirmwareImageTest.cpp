#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "firmware/FirmwareCatalog.hpp"
#include "firmware/FirmwareImage.hpp"
#include "firmware/FirmwareImageCheck.hpp"
#include "support/TestImages.hpp"

namespace tavik {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Whatever images the build embedded (placeholders or the vendor's) are their files byte for
// byte; the build's own image check has passed on those files. An id of no image gives nothing.
TEST(FirmwareImage, LinkedImagesAreTheirFilesByteForByte) {
    for (const FirmwareEntry& entry : firmwareCatalog) {
        std::ifstream in(std::string(TAVIK_FIRMWARE_DIR) + "/firmware-" +
                             std::to_string(entry.resourceId) + ".bin",
                         std::ios::binary);
        EXPECT_EQ(test::bytesOf(loadFirmwareImage(entry.resourceId)),
                  Bytes(std::istreambuf_iterator<char>(in), {}))
            << entry.resourceId;
    }
    for (int id : {0, 102, 106, -104}) {
        EXPECT_EQ(loadFirmwareImage(id).data, nullptr) << id;
        EXPECT_EQ(loadFirmwareImage(id).size, 0u) << id;
    }
}

TEST(FirmwareImageCheck, NamesEveryBrokenInvariant) {
    const auto image = [](std::size_t size, const char* version = "1.2.4+930") {
        return test::makeImage(size, version);
    };
    Bytes wrongLength = image(1000), noNul = image(1000);
    wrongLength[0] ^= 1;
    std::fill(noNul.begin() + 4, noNul.begin() + 64, 'x');
    const struct {
        int resourceId;
        Bytes image;
        const char* problem;  // a fragment of the expected sentence; null for a sound image
    } cases[] = {
        {104, image(1000), nullptr},
        {104, image(65535 * 64), nullptr},  // the largest block count
        {104, wrongLength, "payloadLength"},
        {104, noNul, "no NUL"},
        {104, image(1000, "2.2.7+611"), "differs"},
        {104, image(1000, "1.2.4+9301"), "differs"},
        {104, image(65535 * 64 + 1), "blocks"},
        {106, image(1000), "no catalogue entry"},
        {104, Bytes(63), "shorter"},
    };
    for (const auto& c : cases) {
        const auto problems = checkFirmwareImage(c.resourceId, c.image);
        std::string all;
        for (const std::string& p : problems) {
            all += p + "\n";
        }
        EXPECT_EQ(problems.empty(), c.problem == nullptr) << &c - cases << ": " << all;
        EXPECT_NE(all.find(c.problem ? c.problem : ""), std::string::npos) << all;
    }
}

}  // namespace
}  // namespace tavik
