// The transport's requests through the real libusb over the emulated bus: what reaches the unit,
// what comes back, and the handle's lifetime when the unit leaves under a transfer.
#include "device/libusb/LibusbTransport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "EmulatedBusSession.hpp"
#include "app/UpdaterProgram.hpp"
#include "device/Identification.hpp"
#include "device/UsbProtocol.hpp"
#include "device/libusb/LibusbDeviceAccess.hpp"
#include "sim/CompletionQueue.hpp"
#include "support/RecordingView.hpp"
#include "support/TestImages.hpp"

namespace tavik {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using test::eventually;

struct NullLog final : Log {
    void write(std::string_view) override {}
};

std::shared_ptr<UsbTransport> openUnit(test::EmulatedBusSession& session,
                                       std::chrono::milliseconds timeout = 5s) {
    LibusbDeviceAccess access(session.context, timeout);
    return access.openDevice().device;
}

TEST(LibusbTransport, StringDescriptorsOfOddLengthsThroughIdentification) {
    const struct {
        std::optional<std::uint8_t> bLength;  // of the serial; the true length when not given
        std::string serial;
        std::size_t requests;  // one transfer per descriptor read, the version read last
    } cases[] = {
        // Every length is in the identification's own test; these are the ones where libusb's
        // answer differs: nothing asked for, and fewer bytes delivered than asked for.
        {std::nullopt, "T1X00001", 6},
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
        const auto device = openUnit(session);
        ASSERT_TRUE(device);

        DeviceIdentity identity;
        ASSERT_EQ(identifyDevice(*device, unitVendorId, unitProductId, unitShortBranchProductId,
                                 unitProductIdLater, identity),
                  Identification::recognised);
        EXPECT_EQ(identity.product, "Tavik");
        EXPECT_EQ(identity.serial, c.serial);
        EXPECT_EQ(identity.version, "2.2.7+611");
        const std::vector<sim::WireRequest> wire = unit->requests();
        ASSERT_EQ(wire.size(), c.requests);
        // The serial's reads: GET_DESCRIPTOR of string 3 in language 0x0409, bLength alone, then
        // bLength bytes.
        const Bytes first{0x80, 0x06, 3, 3, 0x09, 0x04, 1, 0};
        EXPECT_EQ(Bytes(wire[3].setup.begin(), wire[3].setup.end()), first);
        if (c.requests == 6) {
            EXPECT_EQ(wire[4].setup[6], c.bLength.value_or(18));
        }
    }
}

TEST(LibusbTransport, ControlTransferOutcomes) {
    const Bytes image = test::makeImage(200, "1.2.4+930");
    const struct {
        std::optional<sim::Fault> fault;  // on the first upload
        bool succeeds;
    } cases[] = {
        {std::nullopt, true},        {sim::Fault::stall, false}, {sim::Fault::fail, false},
        {sim::Fault::vanish, false}, {sim::Fault::hold, false},  // never answered: the transport's
                                                                 // time-out ends it
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        test::EmulatedBusSession session;
        ASSERT_TRUE(session.ready());
        auto unit = test::makeUnit(0x07FD, 0x001D, u"T1X00001", image);
        if (c.fault) {
            unit->addFault(*c.fault, 0, sim::RequestKind::upload);
        }
        ASSERT_TRUE(session.bus.plug(unit));
        const auto device = openUnit(session, 300ms);
        ASSERT_TRUE(device);

        Bytes reply(64, 0xEE);
        std::uint32_t transferred = 99;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(device->controlTransfer(usb::uploadRequest(1), reply.data(), 64, transferred),
                  c.succeeds);
        const auto took = std::chrono::steady_clock::now() - started;
        if (c.succeeds) {
            EXPECT_EQ(transferred, 64u);
            EXPECT_EQ(reply, Bytes(image.begin() + 64, image.begin() + 128));
        } else {
            EXPECT_EQ(transferred, 0u);
        }
        if (c.fault == sim::Fault::hold) {
            EXPECT_GE(took, 300ms);
            EXPECT_LT(took, 5s) << "the injected time-out, not the default one";
        }
    }
}

// Host-to-device data stages reach the unit; a data stage longer than the caller's buffer is
// refused before anything goes on the wire.
TEST(LibusbTransport, DataStagesOutAndRefusalsBeforeTheWire) {
    test::EmulatedBusSession session;
    ASSERT_TRUE(session.ready());
    auto unit = test::makeUnit(0x07FD, 0x000D, u"T1X00001", test::makeImage(128, "1.0.0+1"));
    ASSERT_TRUE(session.bus.plug(unit));
    const auto device = openUnit(session);
    ASSERT_TRUE(device);

    Bytes written = test::makeImage(100, "2.0.0+2", 7);
    const struct {
        SetupPacket setup;
        std::uint8_t* buffer;
        std::uint32_t length;
        bool succeeds;
        std::uint32_t transferred;
    } steps[] = {
        {usb::downloadRequest(0, 64), written.data(), 64, true, 64},
        {usb::uploadRequest(0), written.data(), 63, false, 0},
        {usb::uploadRequest(0), nullptr, 64, false, 0},
        {usb::downloadRequest(1, 36), written.data() + 64, 36, true, 36},
        {usb::downloadRequest(2, 0), nullptr, 0, true, 0},  // the image is stored
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(testing::Message() << "step " << &step - steps);
        std::uint32_t transferred = 99;
        EXPECT_EQ(device->controlTransfer(step.setup, step.buffer, step.length, transferred),
                  step.succeeds);
        EXPECT_EQ(transferred, step.transferred);
    }
    std::uint32_t transferred = 99;
    EXPECT_FALSE(device->getDescriptor(usb::deviceDescriptorType, 0, 0, written.data(), 0x10000,
                                       transferred));
    EXPECT_EQ(transferred, 0u);
    EXPECT_EQ(unit->image(), test::makeImage(100, "2.0.0+2", 7));
    EXPECT_EQ(unit->requestCount(), 3u) << "the refused requests never reached the unit";
}

// The device access as the engine sees it, keeping an eye on the transport it handed out.
struct WatchedAccess final : DeviceAccess {
    explicit WatchedAccess(DeviceAccess& inner) : inner(inner) {}
    OpenResult openDevice() override {
        OpenResult open = inner.openDevice();
        opened = open.device;
        return open;
    }
    DeviceAccess& inner;
    std::weak_ptr<UsbTransport> opened;
};

// A request worker in a held transfer while the unit is unplugged and the engine lets go, in
// either order: the transport (and so the handle) stays until that transfer has returned, then
// goes on the worker's thread, which closes the handle. Unplugging ends the transfer at once, as
// a kernel fails the requests of a unit that left; so only when the engine lets go first is the
// transfer surely still in flight at that moment.
TEST(LibusbTransport, UnplugDuringATransferReleasesTheHandleAfterIt) {
    for (const bool unplugFirst : {false, true}) {
        SCOPED_TRACE(unplugFirst ? "unplugged, then let go" : "let go, then unplugged");
        test::EmulatedBusSession session;
        ASSERT_TRUE(session.ready());
        auto unit = test::makeUnit(0x07FD, 0x001D, u"T1X00001", test::makeImage(128, "1.0.0+1"));
        ASSERT_TRUE(session.bus.plug(unit));
        LibusbDeviceAccess libusbAccess(session.context);
        WatchedAccess access(libusbAccess);

        std::vector<std::thread> workers;
        auto queue = std::make_shared<sim::CompletionQueue>();
        test::RecordingView view;
        NullLog log;
        UpdaterProgram program(view, access, queue, log, [&](std::function<void()> work) {
            workers.emplace_back(std::move(work));
            return true;
        });
        program.window.onCreate(500);
        ASSERT_EQ(unit->requestCount(), 6u) << "identified over libusb";
        const Bytes image = test::makeImage(128, "2.2.7+611");
        program.updater.setFirmwareImage(image.data(), image.size());

        unit->addFault(sim::Fault::hold, unit->requestCount());
        program.window.onActionClicked();  // the first request of the run is held
        ASSERT_TRUE(unit->waitUntilHeld(1, test::busPatience));
        if (unplugFirst) {
            session.bus.unplug(unit);
        }
        program.window.onDeviceRemoval();  // the engine drops its reference
        if (!unplugFirst) {
            EXPECT_FALSE(access.opened.expired()) << "the worker in its transfer holds it";
            EXPECT_EQ(queue->waiting(), 0u) << "the transfer is still in flight";
            session.bus.unplug(unit);
        }

        const auto completion = queue->waitNext(test::busPatience);
        ASSERT_TRUE(completion);
        EXPECT_FALSE(completion->success);
        program.window.onTransferCompleted(completion->success, completion->bytesTransferred);
        for (std::thread& worker : workers) {
            worker.join();
        }
        EXPECT_TRUE(access.opened.expired()) << "gone with the worker's reference";
        EXPECT_EQ(session.context.use_count(), 2) << "the session's and the access's only";
        // The bus lets go of the unit once the file is closed and the held request has ended.
        unit->releaseHeld();
        EXPECT_TRUE(eventually([&] { return unit->openHandles() == 0; }));
    }
}

}  // namespace
}  // namespace tavik
