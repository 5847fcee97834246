// The transport's requests through the real libusb over the emulated bus. (Outliving the engine's
// reference: tests/engine; unplug ending a transfer: tests/umockdev; closing after: hotplug test.)
#include "device/libusb/LibusbTransport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "EmulatedBusSession.hpp"
#include "device/Identification.hpp"
#include "device/UsbProtocol.hpp"
#include "device/libusb/LibusbDeviceAccess.hpp"
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

// Data stages both ways; a failure on the bus and a time-out (the transport's own) as false with
// nothing transferred; a data stage longer than the caller's buffer refused before the wire.
TEST(LibusbTransport, ControlTransferOutcomes) {
    test::EmulatedBusSession session;
    ASSERT_TRUE(session.ready());
    const Bytes image = test::makeImage(128, "1.0.0+1");
    auto unit = test::makeUnit(0x07FD, 0x001D, u"T1X00001", image);
    unit->addFault(sim::Fault::fail, 1, sim::RequestKind::upload);
    unit->addFault(sim::Fault::hold, 2, sim::RequestKind::upload);
    ASSERT_TRUE(session.bus.plug(unit));
    const auto device = LibusbDeviceAccess(session.context, 300ms).openDevice().device;
    ASSERT_TRUE(device);

    Bytes read(64, 0xEE), scratch(64), written = test::makeImage(100, "2.0.0+2", 7);
    const struct {
        SetupPacket setup;
        std::uint8_t* buffer;
        std::uint32_t length;
        bool succeeds;
        std::uint32_t transferred;
        std::size_t requests;  // that reached the unit so far
    } steps[] = {
        {usb::uploadRequest(0), scratch.data(), 63, false, 0, 0},
        {usb::uploadRequest(0), nullptr, 64, false, 0, 0},
        {usb::uploadRequest(1), read.data(), 64, true, 64, 1},
        {usb::downloadRequest(0, 64), written.data(), 64, true, 64, 2},
        {usb::downloadRequest(1, 36), written.data() + 64, 36, true, 36, 3},
        {usb::downloadRequest(2, 0), nullptr, 0, true, 0, 4},      // the image is stored
        {usb::uploadRequest(1), scratch.data(), 64, false, 0, 5},  // fails on the bus
        {usb::uploadRequest(1), scratch.data(), 64, false, 0, 6},  // held past the time-out
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(testing::Message() << "step " << &step - steps);
        std::uint32_t transferred = 99;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(device->controlTransfer(step.setup, step.buffer, step.length, transferred).ok(),
                  step.succeeds);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
        EXPECT_EQ(transferred, step.transferred);
        EXPECT_EQ(unit->requestCount(), step.requests);
    }
    unit->releaseHeld();
    std::uint32_t transferred = 99;
    EXPECT_FALSE(
        device->getDescriptor(usb::deviceDescriptorType, 0, 0, written.data(), 0x10000, transferred)
            .ok());
    EXPECT_EQ(transferred, 0u);
    EXPECT_EQ(read, Bytes(image.begin() + 64, image.begin() + 128));
    EXPECT_EQ(unit->image(), test::makeImage(100, "2.0.0+2", 7));
}

}  // namespace
}  // namespace tavik
