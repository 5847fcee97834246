// The executable carries the resource script; the images come from its "BINARY" resources.
#include <gtest/gtest.h>

#include "firmware/FirmwareCatalog.hpp"
#include "firmware/FirmwareImage.hpp"
#include "firmware/FirmwareImageCheck.hpp"

namespace tavik {
namespace {

// Whatever images the build embedded: each resource is a whole image that passes the image check
// (payloadLength = size - 64, the catalogue's version text); an id with no resource gives none.
TEST(FirmwareResource, EachCatalogueImageIsWholeAndSound) {
    for (const FirmwareEntry& entry : firmwareCatalog) {
        const FirmwareImage image = loadFirmwareImage(entry.resourceId);
        ASSERT_NE(image.data, nullptr) << entry.resourceId;
        EXPECT_TRUE(checkFirmwareImage(entry.resourceId, {image.data, image.size}).empty())
            << entry.resourceId;
    }
    const FirmwareImage missing = loadFirmwareImage(106);
    EXPECT_TRUE(missing.data == nullptr && missing.size == 0);
}

}  // namespace
}  // namespace tavik
