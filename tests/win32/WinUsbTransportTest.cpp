// WinUsbTransport and Win32DeviceAccess over the scripted system of FakeWin32.
#include <gtest/gtest.h>

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

const std::wstring unitPath = L"\\\\?\\usb#vid_07fd&pid_000d#1#{bc8be9da}";

class WinUsbDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::resetFakeSystem();
        fakeSystem().primary.paths = {unitPath};
    }

    // Opens the scripted unit through the DeviceAccess the engine uses.
    std::shared_ptr<UsbTransport> openUnit() {
        OpenResult open = access.openDevice();
        EXPECT_EQ(open.result, hrOk);
        return open.device;
    }

    Win32DeviceAccess access{Win32ApiLoad{hrOk, fake::fakeApi()}};
};

TEST_F(WinUsbDevice, ControlTransferHandsWinUsbTheSetupPacketFieldByField) {
    const struct {
        const char* name;
        SetupPacket setup;
        std::uint32_t bufferLength;
        fake::Reply reply;
        bool result;
        std::uint32_t transferred;
    } cases[] = {
        {"upload of a block", {0xA1, 2, 7, 0, 64}, 64, {TRUE, {1, 2, 3}, 64}, true, 64},
        {"short upload", {0xA1, 2, 0xFFFF, 0, 64}, 64, {TRUE, {9}, 13}, true, 13},
        {"final empty download", {0x21, 1, 0x1234, 0, 0}, 0, {TRUE, {}, 0}, true, 0},
        {"every field distinct", {0xC3, 0xF0, 0x1234, 0x5678, 0x9ABC}, 6, {TRUE, {}, 6}, true, 6},
        {"stalled: no count", {0xA1, 3, 0, 0, 6}, 6, {FALSE, {}, 5}, false, 0},
    };
    const std::shared_ptr<UsbTransport> unit = openUnit();
    ASSERT_NE(unit, nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fakeSystem().controlTransfers.clear();
        fakeSystem().controlReply = c.reply;
        std::uint8_t buffer[64] = {};
        std::uint32_t transferred = 0xDEADBEEF;

        EXPECT_EQ(unit->controlTransfer(c.setup, c.bufferLength > 0 ? buffer : nullptr,
                                        c.bufferLength, transferred),
                  c.result);
        EXPECT_EQ(transferred, c.transferred);
        ASSERT_EQ(fakeSystem().controlTransfers.size(), 1u);
        const fake::ControlTransferCall& call = fakeSystem().controlTransfers[0];
        EXPECT_EQ(fake::handleName(call.handle), "winusb1");
        EXPECT_EQ(call.packet.RequestType, c.setup.requestType);
        EXPECT_EQ(call.packet.Request, c.setup.request);
        EXPECT_EQ(call.packet.Value, c.setup.value);
        EXPECT_EQ(call.packet.Index, c.setup.index);
        EXPECT_EQ(call.packet.Length, c.setup.length);
        EXPECT_EQ(call.buffer, c.bufferLength > 0 ? buffer : nullptr);
        EXPECT_EQ(call.bufferLength, c.bufferLength);
        EXPECT_EQ(call.transferredOnEntry, 0u);
        EXPECT_FALSE(call.overlapped) << "the transfer must be synchronous";
        for (std::size_t i = 0; i < c.reply.data.size() && i < c.bufferLength; ++i) {
            EXPECT_EQ(buffer[i], c.reply.data[i]) << i;
        }
    }
}

TEST_F(WinUsbDevice, GetDescriptorPassesItsArgumentsAndTheDeliveredCount) {
    const std::shared_ptr<UsbTransport> unit = openUnit();
    ASSERT_NE(unit, nullptr);
    std::uint8_t buffer[255] = {};
    std::uint32_t transferred = 0;

    fakeSystem().descriptorReply = {TRUE, {10, 3, 'T', 0}, 10};
    EXPECT_TRUE(unit->getDescriptor(3, 2, 0x0409, buffer, 255, transferred));
    EXPECT_EQ(transferred, 10u);
    EXPECT_EQ(buffer[2], 'T');
    ASSERT_EQ(fakeSystem().descriptorReads.size(), 1u);
    const fake::GetDescriptorCall& read = fakeSystem().descriptorReads[0];
    EXPECT_EQ(fake::handleName(read.handle), "winusb1");
    EXPECT_EQ(read.type, 3);
    EXPECT_EQ(read.index, 2);
    EXPECT_EQ(read.languageId, 0x0409);
    EXPECT_EQ(read.buffer, buffer);
    EXPECT_EQ(read.bufferLength, 255u);

    fakeSystem().descriptorReply = {FALSE, {}, 7};
    EXPECT_FALSE(unit->getDescriptor(1, 0, 0, buffer, 18, transferred));
    EXPECT_EQ(transferred, 0u);
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
    std::thread worker([unit = std::move(workerReference)]() mutable {
        std::uint32_t transferred = 0;
        unit->controlTransfer({0x21, 0xF0, 0, 0, 0}, nullptr, 0, transferred);
        unit.reset();
    });
    worker.join();
    EXPECT_EQ(fakeSystem().calls,
              (std::vector<std::string>{"WinUsb_ControlTransfer winusb1", "WinUsb_Free winusb1",
                                        "CloseHandle file1"}));
    EXPECT_TRUE(fakeSystem().openFiles.empty());
    EXPECT_TRUE(fakeSystem().liveWinUsbHandles.empty());
}

TEST_F(WinUsbDevice, OpenResultCarriesTheCodeTheFlagAndTheUnit) {
    const struct {
        const char* name;
        HResult loadResult;
        bool unitPresent;
        DWORD openError;
        HResult result;
        bool notFound;
    } cases[] = {
        {"opened", hrOk, true, ERROR_SUCCESS, hrOk, false},
        {"no unit", hrOk, false, ERROR_SUCCESS, hrNotFound, true},
        {"access denied", hrOk, true, ERROR_ACCESS_DENIED, hrAccessDenied, false},
        {"system DLL missing", static_cast<HResult>(0x8007007Eu), true, ERROR_SUCCESS,
         static_cast<HResult>(0x8007007Eu), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake::resetFakeSystem();
        if (c.unitPresent) {
            fakeSystem().secondary.paths = {unitPath};
        }
        if (c.openError != ERROR_SUCCESS) {
            fakeSystem().openErrors[unitPath] = c.openError;
        }
        Win32DeviceAccess scripted{Win32ApiLoad{c.loadResult, fake::fakeApi()}};

        OpenResult open = scripted.openDevice();
        EXPECT_EQ(open.result, c.result);
        EXPECT_EQ(open.deviceNotFound, c.notFound);
        EXPECT_EQ(open.device != nullptr, c.result == hrOk);
        if (failed(c.loadResult)) {
            EXPECT_TRUE(fakeSystem().calls.empty()) << "nothing is called without a table";
        }
        open.device.reset();
        EXPECT_TRUE(fakeSystem().openFiles.empty());
    }
}

// The GUIDs as the registry and the driver package spell them.
TEST(InterfaceClasses, GuidsMatchTheirRegistryForm) {
    const struct {
        const GUID& guid;
        const char* text;
    } cases[] = {{primaryInterfaceGuid, "{BC8BE9DA-FC94-4C06-9D5B-2D673802E032}"},
                 {secondaryInterfaceGuid, "{9935671A-F192-4FAB-A7EE-4358C36F76C3}"}};
    for (const auto& c : cases) {
        const GUID& g = c.guid;
        char text[39];
        std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                      static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                      g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
        EXPECT_STREQ(text, c.text);
    }
}

TEST(HResultFromWin32, NonPositiveErrorsPassAndOthersTakeTheWin32Facility) {
    const struct {
        std::uint32_t error;
        std::uint32_t result;
    } cases[] = {
        {0, 0},
        {5, 0x80070005u},
        {0x490, 0x80070490u},
        {0x7A, 0x8007007Au},
        {0x1234ABCD, 0x8007ABCDu},
        {0x7FFFFFFF, 0x8007FFFFu},
        {0x80004005u, 0x80004005u},  // already an HRESULT (negative): unchanged
        {0xFFFFFFFFu, 0xFFFFFFFFu},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(static_cast<std::uint32_t>(hresultFromWin32(c.error)), c.result) << c.error;
    }
}

}  // namespace
}  // namespace tavik
