// The emulated bus seen through the real libusb, unchanged: what the libusb adapter and the
// end-to-end runs rely on. Runs under umockdev's preload library (see EmulatedUsbBus.hpp).
#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device/UsbProtocol.hpp"
#include "sim/SimulatedUnit.hpp"
#include "sim/umockdev/EmulatedUsbBus.hpp"
#include "sim/umockdev/UnprivilegedFileAccess.hpp"
#include "support/TestImages.hpp"

namespace tavik::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

constexpr unsigned timeoutMs = 2000;

std::shared_ptr<SimulatedUnit> makeUnit(std::uint16_t productId, Bytes image = {}) {
    UnitConfig config;
    config.productId = productId;
    config.image = std::move(image);
    return SimulatedUnit::create(std::move(config));
}

// One libusb context over the bus; made after the bus and gone before it. (Lists nothing when
// libusb cannot start.)
class Host {
  public:
    Host() { libusb_init(&context_); }
    ~Host() { libusb_exit(context_); }
    libusb_context* context() const { return context_; }

    struct Listed {
        std::uint16_t vendorId, productId;
        std::uint8_t bus, address;
    };
    std::vector<Listed> list() const {
        libusb_device** devices = nullptr;
        const ssize_t count = libusb_get_device_list(context_, &devices);
        std::vector<Listed> listed;
        for (ssize_t i = 0; i < count; ++i) {
            libusb_device_descriptor d{};
            libusb_get_device_descriptor(devices[i], &d);
            listed.push_back({d.idVendor, d.idProduct, libusb_get_bus_number(devices[i]),
                              libusb_get_device_address(devices[i])});
        }
        libusb_free_device_list(devices, 1);
        return listed;
    }

    // Opens the device at `address`; the libusb result code in `result`.
    libusb_device_handle* open(std::uint8_t address, int& result) const {
        libusb_device** devices = nullptr;
        const ssize_t count = libusb_get_device_list(context_, &devices);
        libusb_device_handle* handle = nullptr;
        result = LIBUSB_ERROR_NOT_FOUND;
        for (ssize_t i = 0; i < count; ++i) {
            if (libusb_get_device_address(devices[i]) == address) {
                result = libusb_open(devices[i], &handle);
            }
        }
        libusb_free_device_list(devices, 1);
        return handle;
    }

  private:
    libusb_context* context_ = nullptr;
};

struct HandleCloser {
    void operator()(libusb_device_handle* h) const { libusb_close(h); }
};
using Handle = std::unique_ptr<libusb_device_handle, HandleCloser>;

Handle openUnit(const Host& host, const BusAddress& address) {
    int result = 0;
    Handle handle(host.open(address.device, result));
    EXPECT_EQ(result, 0) << libusb_error_name(result);
    return handle;
}

// One control transfer: the byte count, or the libusb error.
int control(libusb_device_handle* handle, const SetupPacket& s, Bytes& data,
            unsigned timeout = timeoutMs) {
    data.resize(s.length);
    return libusb_control_transfer(handle, s.requestType, s.request, s.value, s.index, data.data(),
                                   s.length, timeout);
}

int control(libusb_device_handle* handle, const SetupPacket& s) {
    Bytes data;
    return control(handle, s, data);
}

Bytes readBack(libusb_device_handle* handle) {
    Bytes image;
    for (std::uint16_t block = 0;; ++block) {
        Bytes chunk;
        const int n = control(handle, usb::uploadRequest(block), chunk);
        if (n < 0) {
            ADD_FAILURE() << "upload " << block << ": " << libusb_error_name(n);
            return image;
        }
        image.insert(image.end(), chunk.begin(), chunk.begin() + n);
        if (n < static_cast<int>(usb::dfuBlockSize)) {
            return image;
        }
    }
}

TEST(EmulatedUsbBus, ListsPluggedUnitsInOrderWithTheirDescriptors) {
    EmulatedUsbBus bus;
    const BusAddress addresses[] = {bus.plug(makeUnit(0x1D)).value(),
                                    bus.plug(makeUnit(0x1E)).value()};
    Host host;
    auto listed = host.list();
    ASSERT_EQ(listed.size(), 2u);
    // libusb 1.0.26 lists the last one found first.
    std::reverse(listed.begin(), listed.end());
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(listed[i].vendorId, 0x07FD);
        EXPECT_EQ(listed[i].productId, 0x1D + i);
        EXPECT_EQ(listed[i].bus, addresses[i].bus);
        EXPECT_EQ(listed[i].address, addresses[i].device);
    }
    // The configuration libusb reads from sysfs: the DFU interface in update mode.
    libusb_device** devices = nullptr;
    ASSERT_GT(libusb_get_device_list(host.context(), &devices), 0);
    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(devices[0], &config), 0);
    ASSERT_EQ(config->bNumInterfaces, 1);
    const libusb_interface_descriptor& interface = config->interface[0].altsetting[0];
    EXPECT_EQ(interface.bInterfaceClass, 0xFE);
    EXPECT_EQ(interface.bInterfaceSubClass, 0x01);
    EXPECT_EQ(interface.bInterfaceProtocol, 0x02);
    libusb_free_config_descriptor(config);
    libusb_free_device_list(devices, 1);
}

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
        auto unit = makeUnit(0x1D);
        unit->setRebootFails(c.rebootFails);
        if (c.fault) {
            unit->addFault(*c.fault, 0);
        }
        EmulatedUsbBus bus;
        const BusAddress address = bus.plug(unit).value();
        Host host;
        Handle handle = openUnit(host, address);
        ASSERT_TRUE(handle);
        Bytes data;
        EXPECT_EQ(control(handle.get(), c.request, data, 200), c.first);
        unit->releaseHeld();  // the held request proceeds, its answer no longer awaited
        EXPECT_EQ(control(handle.get(), status), c.next);
    }
}

// A transfer in flight when the unit is unplugged fails at once, as the kernel ends it, rather
// than when its timeout runs out.
TEST(EmulatedUsbBus, UnplugEndsTheTransferInFlight) {
    auto unit = makeUnit(0x1D);
    unit->addFault(Fault::hold, 0);
    EmulatedUsbBus bus;
    const BusAddress address = bus.plug(unit).value();
    Host host;
    Handle handle = openUnit(host, address);
    ASSERT_TRUE(handle);
    int result = 0;
    const auto start = std::chrono::steady_clock::now();
    std::thread transfer([&] {
        Bytes data;
        result = control(handle.get(), usb::statusRequest(), data, 20'000);
    });
    EXPECT_TRUE(unit->waitUntilHeld(1, 5s));
    bus.unplug(unit);
    transfer.join();
    EXPECT_EQ(result, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

// Each open file reaps only its own transfers: two handles on one unit, and one on another unit,
// busy at once from three threads, each get their own replies. (Each thread has its own libusb
// context, as separate programs would: libusb 1.0.26 itself races when several threads share
// one for synchronous transfers.)
TEST(EmulatedUsbBus, HandlesOpenAtOnceKeepTheirOwnTransfers) {
    const Bytes first = test::makeImage(64 * 20 + 5, "1.0.0+1", 1);
    const Bytes second = test::makeImage(64 * 30 + 9, "1.0.0+1", 2);
    auto one = makeUnit(0x1D, first);
    auto other = makeUnit(0x1E, second);
    EmulatedUsbBus bus;
    const BusAddress oneAddress = bus.plug(one).value();
    const BusAddress otherAddress = bus.plug(other).value();
    Host hosts[3];
    Handle handles[] = {openUnit(hosts[0], oneAddress), openUnit(hosts[1], oneAddress),
                        openUnit(hosts[2], otherAddress)};
    const Bytes* expected[] = {&first, &first, &second};
    std::vector<Bytes> results(3);
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(handles[i]);
        readers.emplace_back([&, i] {
            for (int round = 0; round < 3; ++round) {
                results[i] = readBack(handles[i].get());
            }
        });
    }
    for (std::thread& reader : readers) {
        reader.join();
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(results[i], *expected[i]) << "handle " << i;
    }
    // umockdev tells the node of a closed file a moment after libusb_close().
    EXPECT_EQ(one->openHandles(), 2u);
    handles[1].reset();
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (one->openHandles() != 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(one->openHandles(), 1u);
}

// How a test asks for LIBUSB_ERROR_ACCESS and LIBUSB_ERROR_BUSY, and that the rest still works.
TEST(EmulatedUsbBus, AccessDeniedAndBusyAsTheHeaderDescribes) {
    struct Case {
        const char* name;
        PlugOptions options;
        bool unprivileged;  // libusb_open on a thread holding UnprivilegedFileAccess
        int open;
        int claim;        // through the first handle
        int secondClaim;  // through a second handle while the first holds it
    };
    const Case cases[] = {
        {"plain", {}, false, 0, 0, LIBUSB_ERROR_BUSY},
        {"plain, unprivileged opener", {}, true, 0, 0, LIBUSB_ERROR_BUSY},
        {"denied, root opener", {.accessDenied = true}, false, 0, 0, LIBUSB_ERROR_BUSY},
        {"denied, unprivileged opener", {.accessDenied = true}, true, LIBUSB_ERROR_ACCESS, 0, 0},
        {"claimed elsewhere",
         {.claimedElsewhere = true},
         false,
         0,
         LIBUSB_ERROR_BUSY,
         LIBUSB_ERROR_BUSY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EmulatedUsbBus bus;
        const BusAddress address = bus.plug(makeUnit(0x1D), c.options).value();
        Host host;
        int opened = 0;
        Handle handle;
        std::thread([&] {
            std::optional<UnprivilegedFileAccess> unprivileged;
            if (c.unprivileged) {
                unprivileged.emplace();
            }
            handle.reset(host.open(address.device, opened));
        }).join();
        EXPECT_EQ(opened, c.open) << libusb_error_name(opened);
        if (!handle) {
            continue;
        }
        EXPECT_EQ(libusb_claim_interface(handle.get(), 0), c.claim);
        Handle second = openUnit(host, address);
        ASSERT_TRUE(second);
        EXPECT_EQ(libusb_claim_interface(second.get(), 0), c.secondClaim);
        EXPECT_EQ(control(second.get(), usb::statusRequest()), 6);
    }
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
