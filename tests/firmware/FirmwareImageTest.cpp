#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "firmware/FirmwareImage.hpp"
#include "firmware/FirmwareImageCheck.hpp"
#include "firmware/FirmwareImageHeader.hpp"

namespace tavik {
namespace {

struct ShippedImage {
    int resourceId;
    std::uint32_t size;
    std::uint32_t payloadLength;
    const char* versionText;
    std::uint64_t blocks;
    std::uint32_t lastBlockBytes;
};

const ShippedImage shippedImages[] = {
    {103, 169516, 169452, "2.2.7+611", 2649, 44},
    {104, 353356, 353292, "1.2.4+930", 5522, 12},
    {105, 270060, 269996, "1.2.1+1960", 4220, 44},
};

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(FirmwareImage, ShippedImagesHaveTheirSizesAndHeaders) {
    for (const ShippedImage& expected : shippedImages) {
        SCOPED_TRACE(expected.resourceId);
        const FirmwareImage image = loadFirmwareImage(expected.resourceId);
        ASSERT_NE(image.data, nullptr);
        EXPECT_EQ(image.size, expected.size);
        EXPECT_EQ((std::uint64_t{image.size} + 63) / 64, expected.blocks);
        EXPECT_EQ(image.size % 64, expected.lastBlockBytes);

        const auto header = FirmwareImageHeader::read({image.data, image.size});
        ASSERT_TRUE(header);
        EXPECT_EQ(header->payloadLength, expected.payloadLength);
        const std::size_t length = std::strlen(expected.versionText);
        EXPECT_EQ(std::string(header->versionText, length), expected.versionText);
        // NUL padding all the way to byte 63.
        EXPECT_TRUE(std::all_of(header->versionText + length,
                                header->versionText + FirmwareImageHeader::versionTextSize,
                                [](char c) { return c == '\0'; }));
        EXPECT_TRUE(checkFirmwareImage(expected.resourceId, {image.data, image.size}).empty());
    }
}

TEST(FirmwareImage, LinkedImagesAreTheFilesByteForByte) {
    for (const ShippedImage& expected : shippedImages) {
        SCOPED_TRACE(expected.resourceId);
        const FirmwareImage image = loadFirmwareImage(expected.resourceId);
        const auto file = readFile(std::string(TAVIK_FIRMWARE_DIR) + "/firmware-" +
                                   std::to_string(expected.resourceId) + ".bin");
        ASSERT_EQ(file.size(), image.size);
        EXPECT_TRUE(std::equal(file.begin(), file.end(), image.data));
    }
}

TEST(FirmwareImage, UnknownIdGivesAnEmptyView) {
    for (int id : {0, 1, 102, 106, -104}) {
        const FirmwareImage image = loadFirmwareImage(id);
        EXPECT_EQ(image.data, nullptr) << id;
        EXPECT_EQ(image.size, 0u) << id;
    }
}

// A sound image of `size` bytes for resource 104, to be broken by each case below.
std::vector<std::uint8_t> soundImage(std::size_t size, const char* version = "1.2.4+930") {
    std::vector<std::uint8_t> image(size, 0x5A);
    FirmwareImageHeader header;
    header.payloadLength = static_cast<std::uint32_t>(size - 64);
    std::memcpy(header.versionText, version, std::strlen(version));
    header.write(std::span<std::uint8_t, 64>(image.data(), 64));
    return image;
}

TEST(FirmwareImageCheck, NamesEveryBrokenInvariant) {
    struct Case {
        const char* what;
        int resourceId;
        std::vector<std::uint8_t> image;
        const char* problem;  // a fragment of the expected sentence; null for a sound image
    };
    std::vector<Case> cases;
    cases.push_back({"sound", 104, soundImage(1000), nullptr});
    cases.push_back({"largest block count", 104, soundImage(65535 * 64), nullptr});
    {
        auto image = soundImage(1000);
        image[0] ^= 1;
        cases.push_back({"payloadLength off by one", 104, image, "payloadLength"});
    }
    {
        auto image = soundImage(1000);
        std::fill(image.begin() + 4, image.begin() + 64, 'x');
        cases.push_back({"versionText without NUL", 104, image, "no NUL"});
    }
    cases.push_back({"another image's version", 104, soundImage(1000, "2.2.7+611"), "differs"});
    cases.push_back({"version with a suffix", 104, soundImage(1000, "1.2.4+9301"), "differs"});
    cases.push_back({"too many blocks", 104, soundImage(65535 * 64 + 1), "blocks"});
    cases.push_back({"unknown resource", 106, soundImage(1000), "no catalogue entry"});
    cases.push_back({"shorter than a header", 104, std::vector<std::uint8_t>(63), "shorter"});

    for (const Case& c : cases) {
        const auto problems = checkFirmwareImage(c.resourceId, c.image);
        if (c.problem == nullptr) {
            EXPECT_TRUE(problems.empty()) << c.what;
            continue;
        }
        ASSERT_FALSE(problems.empty()) << c.what;
        const bool named = std::any_of(problems.begin(), problems.end(), [&](const std::string& p) {
            return p.find(c.problem) != std::string::npos;
        });
        EXPECT_TRUE(named) << c.what << ": " << problems.front();
    }
}

}  // namespace
}  // namespace tavik
