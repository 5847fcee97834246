// The emulated bus seen through the real libusb, as the libusb adapter and the end-to-end runs rely
// on it. Listing, opening, refused opens and claims: through the adapter in tests/libusb.
#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <cstdint>
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
// and removed after libusb_exit. Needs umockdev's preload library (umockdev-wrapper PROGRAM).
struct OpenUnit {
    explicit OpenUnit(std::shared_ptr<SimulatedUnit> plugged) : unit(std::move(plugged)) {
        EXPECT_TRUE(bus.seenByThisProcess() && bus.plug(unit));
        libusb_init(&context);
        handle = libusb_open_device_with_vid_pid(context, 0x07FD, 0x001D);
    }
    ~OpenUnit() {
        bus.waitUntilAnnounced();  // a unit that left by itself, before libusb's socket closes
        libusb_close(handle);      // does nothing with null
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

// Each misbehaviour reaches libusb as its error, and the next request sees the unit as it is then.
TEST(EmulatedUsbBus, FaultsReachLibusbAsItsErrors) {
    constexpr SetupPacket restart = usb::rebootRequest(), status = usb::statusRequest();
    const struct {
        const char* name;
        std::optional<Fault> fault;  // on the first request
        bool rebootFails;
        SetupPacket request;
        int first, next;  // the request's result, and a status request's after it
    } cases[] = {
        {"stall", Fault::stall, false, status, LIBUSB_ERROR_PIPE, 6},
        {"fail", Fault::fail, false, status, LIBUSB_ERROR_IO, 6},
        {"vanish", Fault::vanish, false, status, LIBUSB_ERROR_NO_DEVICE, LIBUSB_ERROR_NO_DEVICE},
        {"leave", Fault::leave, false, status, 6, LIBUSB_ERROR_NO_DEVICE},
        {"hold", Fault::hold, false, status, LIBUSB_ERROR_TIMEOUT, 6},
        {"restart", std::nullopt, false, restart, 0, LIBUSB_ERROR_NO_DEVICE},
        {"restart drops off", std::nullopt, true, restart, LIBUSB_ERROR_IO, LIBUSB_ERROR_NO_DEVICE},
    };
    for (const auto& c : cases) {
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

// An unplug ends the transfer in flight at once, as the kernel does, not at its timeout.
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
