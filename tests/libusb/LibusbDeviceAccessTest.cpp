// Finding and opening the unit through the real libusb over the emulated bus.
#include "device/libusb/LibusbDeviceAccess.hpp"

#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "EmulatedBusSession.hpp"
#include "device/UnitListing.hpp"
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

// Listing gives a key for each unit of the vendor's products (another vendor's device is left
// out); each key opens its own unit, identified by its serial, and a unit unplugged since the
// listing is not found.
TEST(LibusbDeviceAccess, ListsEveryUnitAndOpensEachByItsKey) {
    test::EmulatedBusSession session;
    ASSERT_TRUE(session.ready());
    const std::vector<std::shared_ptr<sim::SimulatedUnit>> units{
        test::makeUnit(0x07FD, 0x000D, u"T1X00001"), test::makeUnit(0x07FE, 0x001D, u"T9Z00009"),
        test::makeUnit(0x07FD, 0x001D, u"T1A00002")};
    for (const auto& unit : units) {
        ASSERT_TRUE(session.bus.plug(unit));
    }
    LibusbDeviceAccess access(session.context);
    const UnitList list = access.listUnits();
    ASSERT_TRUE(list.result.ok());
    ASSERT_EQ(list.keys.size(), 2u);
    EXPECT_NE(list.keys[0], list.keys[1]);

    const IdentifiedUnits identified = identifyUnits(access, list);
    std::vector<std::string> serials;
    for (const ListedUnit& unit : identified.units) {
        EXPECT_TRUE(unit.identified()) << unit.key;
        serials.push_back(unit.identity.serial);
    }
    std::sort(serials.begin(), serials.end());
    EXPECT_EQ(serials, (std::vector<std::string>{"T1A00002", "T1X00001"}));
    for (const auto& unit : units) {
        EXPECT_TRUE(test::eventually([&] { return unit->openHandles() == 0; }))
            << "identifying closes each unit again";
    }

    const std::string& keyOfLast =
        identified.units[0].identity.serial == "T1A00002" ? list.keys[0] : list.keys[1];
    OpenResult open = access.openUnit(keyOfLast);
    ASSERT_TRUE(open.device);
    EXPECT_EQ(units[2]->openHandles(), 1u);
    EXPECT_EQ(units[0]->openHandles(), 0u);
    open.device.reset();

    session.bus.unplug(units[2]);
    open = access.openUnit(keyOfLast);
    EXPECT_EQ(open.result.status, DeviceStatus::notFound);
    EXPECT_TRUE(open.deviceNotFound);
    EXPECT_FALSE(open.device);
}

}  // namespace
}  // namespace tavik
