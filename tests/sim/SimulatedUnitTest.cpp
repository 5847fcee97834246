// The unit's behaviour that no run of the program would notice: protocol errors, and handles that
// outlive a restart. (How each transfer ended reaches a host as libusb's errors: tests/umockdev;
// what the observer is told, in order, is the wire log every end-to-end run checks.)
#include <gtest/gtest.h>

// Unit configurations are designated initializers that leave the other fields at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <cstdint>
#include <utility>
#include <vector>

#include "sim/SimulatedUnit.hpp"
#include "support/TestImages.hpp"

namespace tavik::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One transfer with a data stage of `length` bytes (0x55 each, when host to device).
bool send(UsbTransport& t, std::uint8_t type, std::uint8_t request, std::uint16_t value,
          std::uint16_t length, Bytes* reply = nullptr) {
    Bytes data(64, 0x55);
    std::uint32_t n = 0;
    const bool ok = t.controlTransfer({type, request, value, 0, length}, data.data(), length, n);
    if (reply != nullptr) {
        reply->assign(data.begin(), data.begin() + n);
    }
    return ok;
}

TEST(SimulatedUnit, ProtocolErrorsStallIntoDfuError) {
    const std::vector<std::vector<std::pair<std::uint16_t, std::uint16_t>>> downloads = {
        {{0, 64}, {2, 64}},  // a block out of sequence
        {{0, 0}},            // the empty chunk with nothing before it
        {{0, 64}, {5, 0}},   // the empty chunk with a wrong block number
        {{1, 64}},           // a download that does not start at block 0
    };
    for (const auto& chunks : downloads) {
        SCOPED_TRACE(&chunks - downloads.data());
        const Bytes image = test::makeImage(200, "1.0.0+1");
        auto unit = SimulatedUnit::create({.image = image});
        auto t = unit->open();
        bool last = true;
        for (auto [block, length] : chunks) {
            last = send(*t, 0x21, 0x01, block, length);
        }
        EXPECT_FALSE(last);
        EXPECT_EQ(unit->image(), image);
        Bytes status;
        send(*t, 0xA1, 0x03, 0, 6, &status);
        EXPECT_EQ(status, (Bytes{statusErrStalledPacket, 0, 0, 0, dfuError, 0}));
        EXPECT_FALSE(send(*t, 0xA1, 0x02, 0, 64)) << "nothing is read back until cleared";
    }
}

// (A restart whose transfer fails leaves all the same: ScenarioUnitTest, tests/umockdev.)
TEST(SimulatedUnit, RestartLeavesTheBusAndOldHandlesStayDead) {
    auto unit = SimulatedUnit::create({.image = test::makeImage(100, "1.0.0+1")});
    auto t = unit->open();
    EXPECT_TRUE(send(*t, 0x21, 0xF0, 0, 0));
    EXPECT_TRUE(unit->runningApplication());
    EXPECT_EQ(unit->open(), nullptr);

    unit->attach();
    EXPECT_FALSE(send(*t, 0xA1, 0x02, 0, 64)) << "a handle from before the restart";
    auto again = unit->open();
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(send(*again, 0xA1, 0x02, 0, 64));
    EXPECT_EQ(unit->openHandles(), 2u);
    t.reset();
    EXPECT_EQ(unit->openHandles(), 1u);
}

}  // namespace
}  // namespace tavik::sim
