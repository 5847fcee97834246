#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "firmware/FirmwareCatalog.hpp"
#include "firmware/FirmwareImage.hpp"
#include "firmware/FirmwareImageCheck.hpp"
#include "firmware/FirmwareImageHeader.hpp"
#include "support/TestImages.hpp"

namespace tavik {
namespace {

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Whatever images the build embedded (placeholders or the vendor's): each is its file byte for
// byte, passes the image check, and its version text is NUL-padded to the end of the header.
TEST(FirmwareImage, LinkedImagesAreTheSoundFilesByteForByte) {
    for (const FirmwareEntry& entry : firmwareCatalog) {
        SCOPED_TRACE(entry.resourceId);
        const FirmwareImage image = loadFirmwareImage(entry.resourceId);
        ASSERT_NE(image.data, nullptr);
        const auto file = readFile(std::string(TAVIK_FIRMWARE_DIR) + "/firmware-" +
                                   std::to_string(entry.resourceId) + ".bin");
        ASSERT_EQ(file.size(), image.size);
        EXPECT_TRUE(std::equal(file.begin(), file.end(), image.data));
        EXPECT_TRUE(checkFirmwareImage(entry.resourceId, file).empty());
        const auto header = FirmwareImageHeader::read(file);
        ASSERT_TRUE(header);
        EXPECT_TRUE(std::all_of(header->versionText + entry.targetVersion.size(),
                                header->versionText + FirmwareImageHeader::versionTextSize,
                                [](char c) { return c == '\0'; }));
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
std::vector<std::uint8_t> soundImage(std::size_t size, std::string_view version = "1.2.4+930") {
    return test::makeImage(size, version);
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
