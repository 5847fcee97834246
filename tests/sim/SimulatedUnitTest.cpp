// The unit's DFU behaviour that the engine's runs do not reach on their own: states, status
// replies between chunks, protocol errors, and handles that outlive a restart. Faults, holds,
// descriptors and the wire log are exercised through the engine and identification tests.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/SimulatedUnit.hpp"
#include "support/TestImages.hpp"

namespace tavik::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One transfer: its result and, for device-to-host requests, the bytes returned.
struct Reply {
    bool ok = false;
    Bytes data;
};

Reply send(UsbTransport& t, std::uint8_t type, std::uint8_t request, std::uint16_t value,
           Bytes out = {}, std::uint16_t inLength = 0) {
    const bool in = type & 0x80;
    const auto length = static_cast<std::uint16_t>(in ? inLength : out.size());
    out.resize(64);
    std::uint32_t n = 99;
    Reply r;
    r.ok = t.controlTransfer({type, request, value, 0, length}, out.data(), length, n);
    r.data.assign(out.begin(), out.begin() + (in ? n : 0));
    return r;
}
Reply upload(UsbTransport& t, std::uint16_t block) {
    return send(t, 0xA1, 0x02, block, {}, 64);
}
Reply download(UsbTransport& t, std::uint16_t block, Bytes chunk) {
    return send(t, 0x21, 0x01, block, std::move(chunk));
}
Bytes status(UsbTransport& t) {
    return send(t, 0xA1, 0x03, 0, {}, 6).data;
}

std::shared_ptr<SimulatedUnit> holding(Bytes image) {
    UnitConfig config;
    config.image = std::move(image);
    return SimulatedUnit::create(config);
}

TEST(SimulatedUnit, UploadEndsWithTheFirstShortBlock) {
    struct Case {
        std::size_t size;
        std::vector<std::size_t> blocks;
    };
    const Case cases[] = {{130, {64, 64, 2}}, {128, {64, 64, 0}}, {63, {63}}, {0, {0}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const Bytes image = test::makeImage(c.size, "1.0.0+1");
        auto unit = holding(image);
        auto t = unit->open();
        Bytes readBack;
        std::vector<std::size_t> sizes;
        for (std::uint16_t block = 0; sizes.empty() || sizes.back() == 64; ++block) {
            const Reply r = upload(*t, block);
            ASSERT_TRUE(r.ok);
            sizes.push_back(r.data.size());
            readBack.insert(readBack.end(), r.data.begin(), r.data.end());
            EXPECT_EQ(unit->dfuState(), r.data.size() == 64 ? dfuUploadIdle : dfuIdle);
        }
        EXPECT_EQ(sizes, c.blocks);
        EXPECT_EQ(readBack, image);
    }
}

TEST(SimulatedUnit, DownloadReplacesTheImageOnlyWithTheEmptyChunk) {
    const Bytes before = test::makeImage(100, "1.0.0+1", 1);
    const Bytes after = test::makeImage(70, "2.0.0+2", 2);
    auto unit = holding(before);
    auto t = unit->open();
    ASSERT_TRUE(download(*t, 0, Bytes(after.begin(), after.begin() + 64)).ok);
    ASSERT_TRUE(download(*t, 1, Bytes(after.begin() + 64, after.end())).ok);
    EXPECT_EQ(unit->image(), before);
    EXPECT_EQ(status(*t), (Bytes{statusOk, 0, 0, 0, dfuDnloadIdle, 0}));

    ASSERT_TRUE(download(*t, 2, {}).ok);
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
        auto unit = holding(image);
        auto t = unit->open();
        bool last = true;
        for (auto [block, length] : chunks) {
            last = download(*t, block, Bytes(length, 0x55)).ok;
        }
        EXPECT_FALSE(last);
        EXPECT_EQ(unit->image(), image);
        EXPECT_EQ(status(*t), (Bytes{statusErrStalledPacket, 0, 0, 0, dfuError, 0}));
        EXPECT_FALSE(upload(*t, 0).ok) << "nothing is read back until the error is cleared";
    }
}

TEST(SimulatedUnit, RestartLeavesTheBusAndOldHandlesStayDead) {
    for (bool rebootFails : {false, true}) {
        SCOPED_TRACE(rebootFails);
        auto unit = holding(test::makeImage(100, "1.0.0+1"));
        unit->setRebootFails(rebootFails);
        auto t = unit->open();
        EXPECT_EQ(send(*t, 0x21, 0xF0, 0).ok, !rebootFails);
        EXPECT_TRUE(unit->runningApplication());
        EXPECT_EQ(unit->open(), nullptr);

        unit->attach();
        EXPECT_FALSE(upload(*t, 0).ok) << "a handle from before the restart";
        auto again = unit->open();
        ASSERT_NE(again, nullptr);
        EXPECT_TRUE(upload(*again, 0).ok);
        EXPECT_EQ(unit->openHandles(), 2u);
        t.reset();
        EXPECT_EQ(unit->openHandles(), 1u);
    }
}

// What the observer is told, as text, in order.
class EventLog final : public UnitObserver {
  public:
    std::vector<std::string> events;
    void requestEnded(const WireRequest& r) override {
        events.push_back(std::string(toString(r.kind)) + (r.succeeded ? " ok" : " failed"));
    }
    void imageStored(const std::vector<std::uint8_t>& image) override {
        events.push_back("stored " + std::to_string(image.size()));
    }
    void leftBus(Departure why) override {
        events.push_back(why == Departure::restarted ? "left restarted" : "left unplugged");
    }
};

// The replacement system DLLs announce departures from these events, so their order matters:
// a vanishing unit is gone before its request fails, one that leaves or restarts answers first;
// the empty chunk stores the image while it is answered.
TEST(SimulatedUnit, ObserverSeesRequestsImagesAndDeparturesInOrder) {
    struct Case {
        const char* name;
        std::optional<Fault> fault;  // on the first DFU_DNLOAD
        std::vector<std::string> events;
    };
    const std::vector<Case> cases = {
        {"normal",
         std::nullopt,
         {"DFU_DNLOAD ok", "stored 10", "DFU_DNLOAD ok", "DFU_DNLOAD ok", "REBOOT_TO_APP ok",
          "left restarted"}},
        {"vanish",
         Fault::vanish,
         {"left unplugged", "DFU_DNLOAD failed", "DFU_DNLOAD failed", "DFU_DNLOAD failed",
          "REBOOT_TO_APP failed"}},
        {"leave",
         Fault::leave,
         {"DFU_DNLOAD ok", "left unplugged", "DFU_DNLOAD failed", "DFU_DNLOAD failed",
          "REBOOT_TO_APP failed"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto unit = holding(test::makeImage(100, "1.0.0+1"));
        auto log = std::make_shared<EventLog>();
        unit->setObserver(log);
        if (c.fault) {
            unit->addFault(*c.fault, 0, RequestKind::download);
        }
        auto t = unit->open();
        download(*t, 0, Bytes(10, 0x11));
        download(*t, 1, {});
        download(*t, 0, Bytes(10, 0x22));  // a new download, never ended: nothing stored
        send(*t, 0x21, 0xF0, 0);
        EXPECT_EQ(log->events, c.events);
    }
}

}  // namespace
}  // namespace tavik::sim
