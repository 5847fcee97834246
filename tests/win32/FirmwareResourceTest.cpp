#include <gtest/gtest.h>

#include "firmware/FirmwareCatalog.hpp"
#include "firmware/FirmwareImage.hpp"
#include "firmware/FirmwareImageCheck.hpp"

namespace tavik {
namespace {

// Each embedded "BINARY" resource is a whole image that passes the image check; no id, no image.
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
