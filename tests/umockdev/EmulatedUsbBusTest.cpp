// The emulated bus seen through the real libusb, unchanged: what the libusb adapter and the
// end-to-end runs rely on. Runs under umockdev's preload library (see EmulatedUsbBus.hpp). Listing,
// opening, refused opens and claims are seen through the adapter in tests/libusb.
#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "device/UsbProtocol.hpp"
#include "sim/SimulatedUnit.hpp"
#include "sim/umockdev/EmulatedUsbBus.hpp"

namespace tavik::sim {
namespace {

using namespace std::chrono_literals;

// One unit on the bus and one libusb session holding it open: the bus made before libusb_init
// and removed after libusb_exit.
struct OpenUnit {
    explicit OpenUnit(std::shared_ptr<SimulatedUnit> plugged) : unit(std::move(plugged)) {
        EXPECT_TRUE(bus.plug(unit));
        libusb_init(&context);
        handle = libusb_open_device_with_vid_pid(context, 0x07FD, 0x001D);
    }
    ~OpenUnit() {
        if (handle != nullptr) {
            libusb_close(handle);
        }
        libusb_exit(context);
    }
    // One control transfer: the byte count, or the libusb error.
    int control(const SetupPacket& s, unsigned timeoutMs = 2000) {
        std::vector<std::uint8_t> data(s.length);
        return libusb_control_transfer(handle, s.requestType, s.request, s.value, s.index,
                                       data.data(), s.length, timeoutMs);
    }

    std::shared_ptr<SimulatedUnit> unit;
    EmulatedUsbBus bus;
    libusb_context* context = nullptr;
    libusb_device_handle* handle = nullptr;
};

// Each way the unit can misbehave reaches the program as the error libusb gives for it, and the
// request after it as libusb sees the unit then.
TEST(EmulatedUsbBus, FaultsReachLibusbAsItsErrors) {
    constexpr SetupPacket restart = usb::rebootRequest();
    constexpr SetupPacket status = usb::statusRequest();
    struct Case {
        const char* name;
        std::optional<Fault> fault;  // on the first request
        bool rebootFails;
        SetupPacket request;
        int first;  // the request's result
        int next;   // a status request's after it
    };
    const Case cases[] = {
        {"answered", std::nullopt, false, status, 6, 6},
        {"stall", Fault::stall, false, status, LIBUSB_ERROR_PIPE, 6},
        {"fail", Fault::fail, false, status, LIBUSB_ERROR_IO, 6},
        {"vanish", Fault::vanish, false, status, LIBUSB_ERROR_NO_DEVICE, LIBUSB_ERROR_NO_DEVICE},
        {"leave", Fault::leave, false, status, 6, LIBUSB_ERROR_NO_DEVICE},
        {"hold", Fault::hold, false, status, LIBUSB_ERROR_TIMEOUT, 6},
        {"restart", std::nullopt, false, restart, 0, LIBUSB_ERROR_NO_DEVICE},
        {"restart drops off", std::nullopt, true, restart, LIBUSB_ERROR_IO, LIBUSB_ERROR_NO_DEVICE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OpenUnit open(SimulatedUnit::create({}));
        ASSERT_NE(open.handle, nullptr);
        open.unit->setRebootFails(c.rebootFails);
        if (c.fault) {
            open.unit->addFault(*c.fault, 0);
        }
        EXPECT_EQ(open.control(c.request, 200), c.first);
        open.unit->releaseHeld();  // the held request proceeds, its answer no longer awaited
        EXPECT_EQ(open.control(status), c.next);
    }
}

// A transfer in flight when the unit is unplugged fails at once, as the kernel ends it, rather
// than when its timeout runs out.
TEST(EmulatedUsbBus, UnplugEndsTheTransferInFlight) {
    OpenUnit open(SimulatedUnit::create({}));
    ASSERT_NE(open.handle, nullptr);
    open.unit->addFault(Fault::hold, 0);
    int result = 0;
    const auto start = std::chrono::steady_clock::now();
    std::thread transfer([&] { result = open.control(usb::statusRequest(), 20'000); });
    EXPECT_TRUE(open.unit->waitUntilHeld(1, 5s));
    open.bus.unplug(open.unit);
    transfer.join();
    EXPECT_EQ(result, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

}  // namespace
}  // namespace tavik::sim

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!testing::GTEST_FLAG(list_tests) && !tavik::sim::EmulatedUsbBus().seenByThisProcess()) {
        std::fputs("Run under umockdev's preload library: umockdev-wrapper PROGRAM\n", stderr);
        return 1;
    }
    return RUN_ALL_TESTS();
}
