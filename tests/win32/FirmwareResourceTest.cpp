// The executable carries the resource script; the images come from its "BINARY" resources.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "firmware/FirmwareImage.hpp"
#include "firmware/FirmwareImageCheck.hpp"
#include "firmware/FirmwareImageHeader.hpp"

namespace tavik {
namespace {

TEST(FirmwareResource, Resource104IsTheWholeImage) {
    const FirmwareImage image = loadFirmwareImage(104);
    ASSERT_NE(image.data, nullptr);
    EXPECT_EQ(image.size, 353356u);
    const auto header = FirmwareImageHeader::read({image.data, image.size});
    ASSERT_TRUE(header);
    EXPECT_EQ(header->payloadLength, 353292u);
    const char expected[60] = "1.2.4+930";  // the rest NUL, up to byte 63
    EXPECT_EQ(std::memcmp(header->versionText, expected, sizeof expected), 0);
}

TEST(FirmwareResource, AllThreeImagesAreSound) {
    const struct {
        int id;
        std::uint32_t size;
    } images[] = {{103, 169516}, {104, 353356}, {105, 270060}};
    for (const auto& expected : images) {
        const FirmwareImage image = loadFirmwareImage(expected.id);
        ASSERT_NE(image.data, nullptr) << expected.id;
        EXPECT_EQ(image.size, expected.size) << expected.id;
        EXPECT_TRUE(checkFirmwareImage(expected.id, {image.data, image.size}).empty())
            << expected.id;
    }
}

TEST(FirmwareResource, MissingResourceGivesAnEmptyView) {
    const FirmwareImage image = loadFirmwareImage(106);
    EXPECT_EQ(image.data, nullptr);
    EXPECT_EQ(image.size, 0u);
}

}  // namespace
}  // namespace tavik
