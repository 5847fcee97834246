// WinUsbTransport over the scripted system of FakeWin32, and the two rules the device layer's
// codes and classes follow.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FakeWin32.hpp"
#include "device/win32/InterfaceClasses.hpp"
#include "device/win32/Win32DeviceAccess.hpp"
#include "device/win32/WinUsbTransport.hpp"

namespace tavik {
namespace {

using fake::fakeSystem;
using Calls = std::vector<std::string>;
using WinUsbDevice = fake::FakeWin32Test;

const std::wstring unitPath = L"\\\\?\\usb#vid_07fd&pid_000d#1";

std::shared_ptr<UsbTransport> openUnit() {
    fakeSystem().primary.paths = {unitPath};
    Win32DeviceAccess access{Win32ApiLoad{hrOk, fake::fakeApi()}};
    return access.openDevice().device;  // outlives the access that made it
}

TEST_F(WinUsbDevice, TransfersReachWinUsbFieldByField) {
    const std::shared_ptr<UsbTransport> unit = openUnit();
    ASSERT_NE(unit, nullptr);
    const struct {
        SetupPacket setup;
        std::uint32_t bufferLength;
        BOOL result;
        ULONG reported;
        std::uint32_t transferred;
        const char* call;
    } cases[] = {
        {{0xA1, 2, 7, 0, 64}, 64, TRUE, 64, 64, "a1 02 0007 0000 0040 64"},
        {{0xA1, 2, 0xFFFF, 0, 64}, 64, TRUE, 13, 13, "a1 02 ffff 0000 0040 64"},
        {{0x21, 1, 0x1234, 0, 0}, 0, TRUE, 0, 0, "21 01 1234 0000 0000 0"},
        {{0xC3, 0xF0, 0x1234, 0x5678, 0x9ABC}, 6, TRUE, 6, 6, "c3 f0 1234 5678 9abc 6"},
        {{0xA1, 3, 0, 0, 6}, 6, FALSE, 5, 0, "a1 03 0000 0000 0006 6"},  // no count on failure
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        fakeSystem().calls.clear();
        fakeSystem().result = c.result;
        fakeSystem().reported = c.reported;
        fakeSystem().data = {1, 2, 3};
        std::uint8_t buffer[64] = {};
        std::uint32_t transferred = 0xDEADBEEF;
        EXPECT_EQ(unit->controlTransfer(c.setup, c.bufferLength > 0 ? buffer : nullptr,
                                        c.bufferLength, transferred),
                  c.result != FALSE);
        EXPECT_EQ(transferred, c.transferred);
        EXPECT_EQ(fakeSystem().calls,
                  Calls{std::string("WinUsb_ControlTransfer winusb1 ") + c.call});
        EXPECT_EQ(buffer[2], c.bufferLength > 0 ? 3 : 0) << "the data lands in the caller's buffer";
    }

    fakeSystem().calls.clear();
    fakeSystem().result = TRUE;
    fakeSystem().reported = 10;
    std::uint8_t buffer[255] = {};
    std::uint32_t transferred = 0;
    EXPECT_TRUE(unit->getDescriptor(3, 2, 0x0409, buffer, 255, transferred));
    EXPECT_EQ(transferred, 10u);
    EXPECT_EQ(buffer[2], 3);
    fakeSystem().result = FALSE;
    EXPECT_FALSE(unit->getDescriptor(1, 0, 0, buffer, 18, transferred));
    EXPECT_EQ(transferred, 0u);
    EXPECT_EQ(fakeSystem().calls, (Calls{"WinUsb_GetDescriptor winusb1 3 2 0409 255",
                                         "WinUsb_GetDescriptor winusb1 1 0 0000 18"}));
}

TEST_F(WinUsbDevice, LastOwnerReleasesWinUsbThenTheFile) {
    std::shared_ptr<UsbTransport> engineReference = openUnit();
    ASSERT_NE(engineReference, nullptr);
    std::shared_ptr<UsbTransport> workerReference = engineReference;
    fakeSystem().calls.clear();

    // The engine lets go while a worker still holds the unit: nothing is released.
    engineReference.reset();
    EXPECT_TRUE(fakeSystem().calls.empty());

    // The worker finishes its transfer and releases the handles on its own thread.
    std::thread([unit = std::move(workerReference)]() mutable {
        std::uint32_t transferred = 0;
        unit->controlTransfer({0x21, 0xF0, 0, 0, 0}, nullptr, 0, transferred);
        unit.reset();
    }).join();
    EXPECT_EQ(fakeSystem().calls, (Calls{"WinUsb_ControlTransfer winusb1 21 f0 0000 0000 0000 0",
                                         "WinUsb_Free winusb1", "CloseHandle file1"}));
    EXPECT_TRUE(fakeSystem().files.empty());
    EXPECT_TRUE(fakeSystem().winusbs.empty());
}

// The GUIDs as the registry and the driver package spell them.
TEST(InterfaceClasses, GuidsMatchTheirRegistryForm) {
    for (const auto& [guid, text] :
         {std::pair{primaryInterfaceGuid, "{BC8BE9DA-FC94-4C06-9D5B-2D673802E032}"},
          {secondaryInterfaceGuid, "{9935671A-F192-4FAB-A7EE-4358C36F76C3}"}}) {
        char printed[39];
        std::snprintf(printed, sizeof printed,
                      "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
                      guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                      guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
        EXPECT_STREQ(printed, text);
    }
}

// HRESULT_FROM_WIN32: an error that reads as zero or negative passes unchanged; any other keeps
// its low 16 bits under the Win32 facility.
TEST(HResultFromWin32, NonPositiveErrorsPassAndOthersTakeTheWin32Facility) {
    const std::uint32_t cases[][2] = {
        {0, 0},
        {5, 0x80070005u},
        {0x490, 0x80070490u},
        {0x7A, 0x8007007Au},
        {0x1234ABCD, 0x8007ABCDu},
        {0x7FFFFFFF, 0x8007FFFFu},
        {0x80004005u, 0x80004005u},
        {0xFFFFFFFFu, 0xFFFFFFFFu},
    };
    for (const auto& [error, result] : cases) {
        EXPECT_EQ(static_cast<std::uint32_t>(hresultFromWin32(error)), result) << error;
    }
}

}  // namespace
}  // namespace tavik
