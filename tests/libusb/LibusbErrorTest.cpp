// What a libusb result becomes beyond the codes the device access meets over the emulated bus
// (LibusbDeviceAccessTest: access denied, busy): a byte count is no failure, and codes a later
// libusb may add fall back to the code for an unnamed failure rather than to success.
#include "device/libusb/LibusbError.hpp"

#include <gtest/gtest.h>
#include <libusb.h>

#include <cstdint>

namespace tavik {
namespace {

TEST(LibusbError, CountsSucceedAndUnknownCodesFail) {
    const struct {
        int error;
        std::uint32_t expected;
    } cases[] = {
        {LIBUSB_SUCCESS, 0},    {7, 0}, {LIBUSB_ERROR_OTHER, 0x8007000D}, {-13, 0x8007000D},
        {-1000000, 0x8007000D},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        EXPECT_EQ(static_cast<std::uint32_t>(hresultFromLibusb(c.error)), c.expected);
    }
}

}  // namespace
}  // namespace tavik
