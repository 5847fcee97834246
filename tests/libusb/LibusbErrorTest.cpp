// Every libusb_error code against the HRESULT a Windows host prints for the same cause.
#include "device/libusb/LibusbError.hpp"

#include <gtest/gtest.h>
#include <libusb.h>

#include <cstdint>

namespace tavik {
namespace {

TEST(LibusbError, EveryCodeMapsToTheWindowsResult) {
    const struct {
        int error;
        std::uint32_t expected;
    } cases[] = {
        {LIBUSB_SUCCESS, 0x00000000},
        {7, 0x00000000},  // a byte count is no failure
        {LIBUSB_ERROR_IO, 0x8007001F},
        {LIBUSB_ERROR_INVALID_PARAM, 0x80070057},
        {LIBUSB_ERROR_ACCESS, 0x80070005},
        {LIBUSB_ERROR_NO_DEVICE, 0x8007048F},
        {LIBUSB_ERROR_NOT_FOUND, 0x80070490},
        {LIBUSB_ERROR_BUSY, 0x800700AA},
        {LIBUSB_ERROR_TIMEOUT, 0x80070079},
        {LIBUSB_ERROR_OVERFLOW, 0x8007001F},
        {LIBUSB_ERROR_PIPE, 0x8007001F},
        {LIBUSB_ERROR_INTERRUPTED, 0x800703E3},
        {LIBUSB_ERROR_NO_MEM, 0x8007000E},
        {LIBUSB_ERROR_NOT_SUPPORTED, 0x80070032},
        {LIBUSB_ERROR_OTHER, 0x8007000D},
        {-13, 0x8007000D},  // codes a later libusb may add
        {-98, 0x8007000D},
        {-100, 0x8007000D},
        {-1000000, 0x8007000D},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        EXPECT_EQ(static_cast<std::uint32_t>(hresultFromLibusb(c.error)), c.expected);
    }
}

}  // namespace
}  // namespace tavik
