// The unit's DFU behaviour that the engine's runs do not reach on their own: states between
// chunks, protocol errors, and handles that outlive a restart.
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

// One transfer: whether it succeeded, and for device-to-host requests the bytes returned.
std::pair<bool, Bytes> send(UsbTransport& t, std::uint8_t type, std::uint8_t request,
                            std::uint16_t value, Bytes data = {}, std::uint16_t inLength = 0) {
    const auto length = static_cast<std::uint16_t>((type & 0x80) != 0 ? inLength : data.size());
    data.resize(64);
    std::uint32_t n = 99;
    const bool ok = t.controlTransfer({type, request, value, 0, length}, data.data(), length, n);
    data.resize((type & 0x80) != 0 ? n : 0);
    return {ok, data};
}
bool download(UsbTransport& t, std::uint16_t block, Bytes chunk) {
    return send(t, 0x21, 0x01, block, std::move(chunk)).first;
}
Bytes status(UsbTransport& t) {
    return send(t, 0xA1, 0x03, 0, {}, 6).second;
}

TEST(SimulatedUnit, DownloadReplacesTheImageOnlyWithTheEmptyChunk) {
    const Bytes before = test::makeImage(100, "1.0.0+1", 1);
    const Bytes after = test::makeImage(70, "2.0.0+2", 2);
    auto unit = SimulatedUnit::create({.image = before});
    auto t = unit->open();
    ASSERT_TRUE(download(*t, 0, Bytes(after.begin(), after.begin() + 64)));
    ASSERT_TRUE(download(*t, 1, Bytes(after.begin() + 64, after.end())));
    EXPECT_EQ(unit->image(), before);
    EXPECT_EQ(status(*t), (Bytes{statusOk, 0, 0, 0, dfuDnloadIdle, 0}));

    ASSERT_TRUE(download(*t, 2, {}));
    EXPECT_EQ(unit->image(), after);
    EXPECT_EQ(status(*t), (Bytes{statusOk, 0, 0, 0, dfuIdle, 0}));
}

TEST(SimulatedUnit, ProtocolErrorsStallIntoDfuError) {
    const std::vector<std::vector<std::pair<std::uint16_t, std::size_t>>> downloads = {
        {{0, 64}, {2, 64}},  // a block out of sequence
        {{0, 0}},            // the empty chunk with nothing before it
        {{0, 64}, {5, 0}},   // the empty chunk with a wrong block number
        {{1, 64}},           // a download that does not start at block 0
    };
    for (const auto& chunks : downloads) {
        SCOPED_TRACE(chunks.size());
        const Bytes image = test::makeImage(200, "1.0.0+1");
        auto unit = SimulatedUnit::create({.image = image});
        auto t = unit->open();
        bool last = true;
        for (auto [block, length] : chunks) {
            last = download(*t, block, Bytes(length, 0x55));
        }
        EXPECT_FALSE(last);
        EXPECT_EQ(unit->image(), image);
        EXPECT_EQ(status(*t), (Bytes{statusErrStalledPacket, 0, 0, 0, dfuError, 0}));
        EXPECT_FALSE(send(*t, 0xA1, 0x02, 0, {}, 64).first) << "no read-back until cleared";
    }
}

TEST(SimulatedUnit, RestartLeavesTheBusAndOldHandlesStayDead) {
    for (bool rebootFails : {false, true}) {
        SCOPED_TRACE(rebootFails);
        auto unit = SimulatedUnit::create({.image = test::makeImage(100, "1.0.0+1")});
        unit->setRebootFails(rebootFails);
        auto t = unit->open();
        EXPECT_EQ(send(*t, 0x21, 0xF0, 0).first, !rebootFails);
        EXPECT_TRUE(unit->runningApplication());
        EXPECT_EQ(unit->open(), nullptr);

        unit->attach();
        EXPECT_FALSE(send(*t, 0xA1, 0x02, 0, {}, 64).first) << "a handle from before the restart";
        auto again = unit->open();
        ASSERT_NE(again, nullptr);
        EXPECT_TRUE(send(*again, 0xA1, 0x02, 0, {}, 64).first);
        EXPECT_EQ(unit->openHandles(), 2u);
        t.reset();
        EXPECT_EQ(unit->openHandles(), 1u);
    }
}

}  // namespace
}  // namespace tavik::sim
