// Finding and opening the unit through the real libusb over the emulated bus.
#include "device/libusb/LibusbDeviceAccess.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "EmulatedBusSession.hpp"
#include "device/Identification.hpp"
#include "sim/umockdev/UnprivilegedFileAccess.hpp"

namespace tavik {
namespace {

using test::eventually;

struct Plug {
    std::uint16_t vendorId, productId;
    sim::PlugOptions options = {};
};

TEST(LibusbDeviceAccess, OpensTheFirstUnitOfTheVendorsProducts) {
    constexpr std::uint32_t notFound = 0x80070490, accessDenied = 0x80070005, busy = 0x800700AA;
    const sim::PlugOptions denied{.accessDenied = true}, claimed{.claimedElsewhere = true};
    const struct {
        std::vector<Plug> plugs;  // in bus order; unit i has the serial "S<i>"
        std::uint32_t result;
        bool deviceNotFound;
        int opened;  // the unit whose serial the open transport reads, -1 for none
    } cases[] = {
        {{}, notFound, true, -1},
        {{{0x07FE, 0x000D}}, notFound, true, -1},
        {{{0x07FE, 0x0009}}, notFound, true, -1},
        {{{0x07FE, 0x001D}}, notFound, true, -1},
        {{{0x07FD, 0x0010}}, notFound, true, -1},
        {{{0x07FD, 0x000D}}, 0, false, 0},
        {{{0x07FD, 0x0009}}, 0, false, 0},
        {{{0x07FD, 0x001D}}, 0, false, 0},
        {{{0x07FD, 0x001D}, {0x07FD, 0x000D}}, 0, false, 0},
        {{{0x07FE, 0x001D}, {0x07FD, 0x0010}, {0x07FD, 0x0009}}, 0, false, 2},
        {{{0x07FD, 0x000D, denied}}, accessDenied, false, -1},
        {{{0x07FD, 0x001D, claimed}}, busy, false, -1},
        // Only the first unit is tried, as the Windows build opens only the first path found.
        {{{0x07FD, 0x001D, claimed}, {0x07FD, 0x000D}}, busy, false, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        test::EmulatedBusSession session;
        ASSERT_TRUE(session.context);
        std::vector<std::shared_ptr<sim::SimulatedUnit>> units;
        bool anyDenied = false;
        for (const Plug& p : c.plugs) {
            const std::u16string serial = u"S" + std::u16string(1, u'0' + units.size());
            units.push_back(test::makeUnit(p.vendorId, p.productId, serial));
            ASSERT_TRUE(session.bus.plug(units.back(), p.options));
            anyDenied = anyDenied || p.options.accessDenied;
        }

        LibusbDeviceAccess access(session.context);
        OpenResult open;
        {
            // As root every node opens; the open is made as an ordinary user where it must fail.
            std::optional<sim::UnprivilegedFileAccess> unprivileged;
            if (anyDenied) {
                unprivileged.emplace();
            }
            open = access.openDevice();
        }
        EXPECT_EQ(static_cast<std::uint32_t>(open.result), c.result);
        EXPECT_EQ(open.deviceNotFound, c.deviceNotFound);
        ASSERT_EQ(open.device != nullptr, c.opened >= 0);
        if (open.device) {
            EXPECT_EQ(units[c.opened]->openHandles(), 1u);
            DeviceIdentity identity;
            EXPECT_EQ(identifyDevice(*open.device, unitVendorId, unitProductId,
                                     unitShortBranchProductId, unitProductIdLater, identity),
                      Identification::recognised);
            EXPECT_EQ(identity.serial, "S" + std::to_string(c.opened));
            open.device.reset();  // the transport closes the handle
        }
        // Nothing stays open: not after a failed claim, not after the transport went.
        for (const auto& unit : units) {
            EXPECT_TRUE(eventually([&] { return unit->openHandles() == 0; }));
        }
    }
}

TEST(LibusbDeviceAccess, AUnitThatLeftIsNotFoundAndOneThatCameBackOpens) {
    test::EmulatedBusSession session;
    LibusbDeviceAccess access(session.context);
    auto unit = test::makeUnit(0x07FD, 0x001D);
    ASSERT_TRUE(session.bus.plug(unit));
    ASSERT_TRUE(access.openDevice().device);
    ASSERT_TRUE(eventually([&] { return unit->openHandles() == 0; }));

    session.bus.unplug(unit);
    const OpenResult gone = access.openDevice();
    EXPECT_EQ(gone.result, hrNotFound);
    EXPECT_TRUE(gone.deviceNotFound);

    ASSERT_TRUE(session.bus.plug(unit));
    EXPECT_TRUE(access.openDevice().device);
}

}  // namespace
}  // namespace tavik
