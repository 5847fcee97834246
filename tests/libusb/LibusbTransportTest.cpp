// The transport's requests through the real libusb over the emulated bus. (Outliving the engine's
// reference: tests/engine; unplug ending a transfer: tests/umockdev; closing after: hotplug test.)
#include "device/libusb/LibusbTransport.hpp"

#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "EmulatedBusSession.hpp"
#include "device/Identification.hpp"
#include "device/UsbProtocol.hpp"
#include "device/libusb/LibusbDeviceAccess.hpp"
#include "device/libusb/LibusbError.hpp"
#include "support/TestImages.hpp"

namespace tavik {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// The lengths where libusb's answer differs (every length: the identification's own test): nothing
// asked for, and fewer bytes delivered than asked for.
TEST(LibusbTransport, StringDescriptorsOfOddLengthsThroughIdentification) {
    const struct {
        std::uint8_t bLength;  // of the serial
        std::string serial;
        std::size_t requests;  // one transfer per descriptor read, the version read last
    } cases[] = {
        {0, "", 5},
        {9, "T1X", 6},
        {33, "T1X00001" + std::string(7, '\0'), 6},  // bytes never delivered count as zero
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        test::EmulatedBusSession session;
        ASSERT_TRUE(session.ready());
        sim::UnitConfig config;
        config.serialLength = c.bLength;
        config.image = test::makeImage(128, "2.2.7+611");
        auto unit = sim::SimulatedUnit::create(config);
        ASSERT_TRUE(session.bus.plug(unit));
        const auto device = LibusbDeviceAccess(session.context).openDevice().device;
        ASSERT_TRUE(device);

        DeviceIdentity identity;
        ASSERT_EQ(identifyDevice(*device, unitVendorId, unitProductId, unitShortBranchProductId,
                                 unitProductIdLater, identity),
                  Identification::recognised);
        EXPECT_EQ(identity.serial, c.serial);
        const std::vector<sim::WireRequest> wire = unit->requests();
        ASSERT_EQ(wire.size(), c.requests);
        if (c.requests == 6) {  // the serial's bLength alone, then as many bytes
            EXPECT_EQ(wire[4].setup[6], c.bLength);
        }
    }
}

// Data stages both ways; each fault of the unit as its status with nothing transferred (a failure
// on the bus, a stall, a time-out of the transport's own, the unit gone); a data stage longer than
// the caller's buffer refused before the wire.
TEST(LibusbTransport, ControlTransferOutcomes) {
    using enum DeviceStatus;
    test::EmulatedBusSession session;
    ASSERT_TRUE(session.ready());
    const Bytes image = test::makeImage(128, "1.0.0+1");
    auto unit = test::makeUnit(0x07FD, 0x001D, u"T1X00001", image);
    unit->addFault(sim::Fault::fail, 1, sim::RequestKind::upload);
    unit->addFault(sim::Fault::hold, 2, sim::RequestKind::upload);
    unit->addFault(sim::Fault::stall, 3, sim::RequestKind::upload);
    unit->addFault(sim::Fault::vanish, 0, sim::RequestKind::getStatus);
    ASSERT_TRUE(session.bus.plug(unit));
    const auto device = LibusbDeviceAccess(session.context, 300ms).openDevice().device;
    ASSERT_TRUE(device);

    Bytes read(64, 0xEE), scratch(64), written = test::makeImage(100, "2.0.0+2", 7);
    const struct {
        SetupPacket setup;
        std::uint8_t* buffer;
        std::uint32_t length;
        DeviceStatus status;
        std::uint32_t transferred;
        std::size_t requests;  // that reached the unit so far
    } steps[] = {
        {usb::uploadRequest(0), scratch.data(), 63, other, 0, 0},
        {usb::uploadRequest(0), nullptr, 64, other, 0, 0},
        {usb::uploadRequest(1), read.data(), 64, done, 64, 1},
        {usb::downloadRequest(0, 64), written.data(), 64, done, 64, 2},
        {usb::downloadRequest(1, 36), written.data() + 64, 36, done, 36, 3},
        {usb::downloadRequest(2, 0), nullptr, 0, done, 0, 4},         // the image is stored
        {usb::uploadRequest(1), scratch.data(), 64, other, 0, 5},     // fails on the bus
        {usb::uploadRequest(1), scratch.data(), 64, timedOut, 0, 6},  // held past the time-out
        {usb::uploadRequest(1), scratch.data(), 64, stalled, 0, 7},
        {usb::statusRequest(), scratch.data(), 6, gone, 0, 8},  // the unit vanishes
        {usb::statusRequest(), scratch.data(), 6, gone, 0, 8},  // and is no longer there
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(testing::Message() << "step " << &step - steps);
        std::uint32_t transferred = 99;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(device->controlTransfer(step.setup, step.buffer, step.length, transferred).status,
                  step.status);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
        EXPECT_EQ(transferred, step.transferred);
        EXPECT_EQ(unit->requestCount(), step.requests);
    }
    unit->releaseHeld();
    std::uint32_t transferred = 99;
    EXPECT_EQ(
        device->getDescriptor(usb::deviceDescriptorType, 0, 0, written.data(), 0x10000, transferred)
            .status,
        other);
    EXPECT_EQ(transferred, 0u);
    EXPECT_EQ(read, Bytes(image.begin() + 64, image.begin() + 128));
    EXPECT_EQ(unit->image(), test::makeImage(100, "2.0.0+2", 7));
}

// The time-out a transport gets by default: a unit that takes a second to answer (one erasing its
// flash) is waited for; one that has not answered after 5 s is given up on, and not much sooner.
TEST(LibusbTransport, TheDefaultTimeOutWaitsForASlowUnitButNotForever) {
    using enum DeviceStatus;
    test::EmulatedBusSession session;
    ASSERT_TRUE(session.ready());
    auto unit = test::makeUnit(0x07FD, 0x001D, u"T1X00001", test::makeImage(128, "1.0.0+1"));
    unit->addFault(sim::Fault::hold, 1, sim::RequestKind::upload);
    ASSERT_TRUE(session.bus.plug(unit));
    const auto device = LibusbDeviceAccess(session.context).openDevice().device;
    ASSERT_TRUE(device);
    Bytes block(64);
    std::uint32_t transferred = 0;

    unit->setTransferDelay(1200ms);
    EXPECT_EQ(device->controlTransfer(usb::uploadRequest(0), block.data(), 64, transferred).status,
              done);
    EXPECT_EQ(transferred, 64u);

    unit->setTransferDelay(0ms);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(device->controlTransfer(usb::uploadRequest(1), block.data(), 64, transferred).status,
              timedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 4500ms);
    unit->releaseHeld();
}

// The libusb errors no emulated unit makes, with the codes a Windows host prints for their causes
// (the others: above, and the opens of LibusbDeviceAccessTest).
TEST(LibusbTransport, ErrorsNoUnitMakesMapToo) {
    using enum DeviceStatus;
    const struct {
        int error;
        DeviceStatus status;
        std::uint32_t code;
    } cases[] = {
        {LIBUSB_ERROR_INVALID_PARAM, other, 0x80070057},  // E_INVALIDARG
        {LIBUSB_ERROR_NOT_FOUND, notFound, 0x80070490},   // ERROR_NOT_FOUND
        {LIBUSB_ERROR_OVERFLOW, other, 0x8007001F},       // ERROR_GEN_FAILURE
        {LIBUSB_ERROR_INTERRUPTED, other, 0x800703E3},    // ERROR_OPERATION_ABORTED
        {LIBUSB_ERROR_NO_MEM, other, 0x8007000E},         // E_OUTOFMEMORY
        {LIBUSB_ERROR_NOT_SUPPORTED, other, 0x80070032},  // ERROR_NOT_SUPPORTED
        {LIBUSB_ERROR_OTHER, other, 0x8007000D},          // ERROR_INVALID_DATA
        {-1000, other, 0x8007000D},                       // unknown: the same fallback
        {LIBUSB_SUCCESS, done, 0},
        {5, done, 0},  // a byte count
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        const DeviceResult result = resultFromLibusb(c.error);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(static_cast<std::uint32_t>(result.code), c.code);
    }
}

}  // namespace
}  // namespace tavik
