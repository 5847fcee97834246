// Finding and opening the unit through the real libusb over the emulated bus.
#include "device/libusb/LibusbDeviceAccess.hpp"

#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "EmulatedBusSession.hpp"
#include "sim/umockdev/UnprivilegedFileAccess.hpp"

namespace tavik {
namespace {

struct Plug {
    std::uint16_t vendorId, productId;
    sim::PlugOptions options = {};
};

bool isUnit(const Plug& p) {
    return p.vendorId == 0x07FD &&
           (p.productId == 0x000D || p.productId == 0x0009 || p.productId == 0x001D);
}

// The plugged units (indices into `addresses`) in libusb's device-list order.
std::vector<std::size_t> listedOrder(libusb_context* context,
                                     const std::vector<sim::BusAddress>& addresses) {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    std::vector<std::size_t> order;
    for (ssize_t i = 0; i < count; ++i) {
        for (std::size_t k = 0; k < addresses.size(); ++k) {
            if (addresses[k].bus == libusb_get_bus_number(list[i]) &&
                addresses[k].device == libusb_get_device_address(list[i])) {
                order.push_back(k);
            }
        }
    }
    libusb_free_device_list(list, 1);  // null after a failed listing: nothing to free
    return order;
}

// An ordinary user opens (or is refused) the first of the vendor's three products in libusb's
// order, touching no other (plugged in both orders, so each is listed first once).
TEST(LibusbDeviceAccess, OpensTheFirstUnitOfTheVendorsProducts) {
    const sim::PlugOptions denied{.accessDenied = true}, claimed{.claimedElsewhere = true};
    const std::vector<Plug> cases[] = {
        {},
        {{0x07FD, 0x001D}},
        {{0x07FD, 0x000D, denied}},
        {{0x07FE, 0x001D}, {0x07FD, 0x0010}, {0x07FD, 0x0009}},
        {{0x07FD, 0x0009}, {0x07FD, 0x0010}, {0x07FE, 0x001D}},
        {{0x07FD, 0x001D, claimed}, {0x07FD, 0x000D}},
        {{0x07FD, 0x000D}, {0x07FD, 0x001D, claimed}},
    };
    for (const auto& plugs : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &plugs - cases);
        test::EmulatedBusSession session;
        ASSERT_TRUE(session.ready());
        std::vector<std::shared_ptr<sim::SimulatedUnit>> units;
        std::vector<sim::BusAddress> addresses;
        for (const Plug& p : plugs) {
            units.push_back(test::makeUnit(p.vendorId, p.productId));
            const auto address = session.bus.plug(units.back(), p.options);
            ASSERT_TRUE(address);
            addresses.push_back(*address);
        }
        const std::vector<std::size_t> order = listedOrder(session.context->get(), addresses);
        ASSERT_EQ(order.size(), plugs.size());
        const auto listedFirst = std::find_if(order.begin(), order.end(),
                                              [&](std::size_t k) { return isUnit(plugs[k]); });
        const int first = listedFirst == order.end() ? -1 : static_cast<int>(*listedFirst);
        // ERROR_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_BUSY as a Windows host prints them.
        const Plug* chosen = first >= 0 ? &plugs[first] : nullptr;
        const std::uint32_t result = chosen == nullptr                  ? 0x80070490
                                     : chosen->options.accessDenied     ? 0x80070005
                                     : chosen->options.claimedElsewhere ? 0x800700AA
                                                                        : 0;
        const DeviceStatus status = chosen == nullptr                  ? DeviceStatus::notFound
                                    : chosen->options.accessDenied     ? DeviceStatus::accessDenied
                                    : chosen->options.claimedElsewhere ? DeviceStatus::busy
                                                                       : DeviceStatus::done;

        LibusbDeviceAccess access(session.context);
        OpenResult open = [&] {
            const sim::UnprivilegedFileAccess unprivileged;
            return access.openDevice();
        }();
        EXPECT_EQ(static_cast<std::uint32_t>(open.result.code), result);
        EXPECT_EQ(open.result.status, status);
        EXPECT_EQ(open.deviceNotFound, chosen == nullptr);
        ASSERT_EQ(open.device != nullptr, result == 0);
        if (open.device) {
            for (std::size_t k = 0; k < units.size(); ++k) {
                EXPECT_EQ(units[k]->openHandles(), k == std::size_t(first) ? 1u : 0u) << k;
            }
            open.device.reset();  // the transport closes the handle
        }
        // Nothing stays open after a failed claim or once the transport went. (Not for a refused
        // open: the bus keeps umockdev's connection to the node, though the program had no file.)
        for (std::size_t k = 0; k < units.size(); ++k) {
            if (!plugs[k].options.accessDenied) {
                EXPECT_TRUE(test::eventually([&] { return units[k]->openHandles() == 0; })) << k;
            }
        }
    }
}

}  // namespace
}  // namespace tavik
