// The unit's DFU behaviour that the engine's runs do not reach on their own: protocol errors and
// handles that outlive a restart. (The engine's runs show the read-back, the download landing
// with its empty chunk, and the status after it.)
#include <gtest/gtest.h>

// Unit configurations are designated initializers that leave the other fields at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
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

TEST(SimulatedUnit, RestartLeavesTheBusAndOldHandlesStayDead) {
    for (bool rebootFails : {false, true}) {
        SCOPED_TRACE(rebootFails);
        auto unit = SimulatedUnit::create({.image = test::makeImage(100, "1.0.0+1")});
        unit->setRebootFails(rebootFails);
        auto t = unit->open();
        EXPECT_EQ(send(*t, 0x21, 0xF0, 0, 0), !rebootFails);
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
        auto unit = SimulatedUnit::create({.image = test::makeImage(100, "1.0.0+1")});
        auto log = std::make_shared<EventLog>();
        unit->setObserver(log);
        if (c.fault) {
            unit->addFault(*c.fault, 0, RequestKind::download);
        }
        auto t = unit->open();
        send(*t, 0x21, 0x01, 0, 10);  // a chunk
        send(*t, 0x21, 0x01, 1, 0);   // the empty chunk: the image is stored
        send(*t, 0x21, 0x01, 0, 10);  // a new download, never ended: nothing stored
        send(*t, 0x21, 0xF0, 0, 0);   // REBOOT_TO_APP
        EXPECT_EQ(log->events, c.events);
    }
}

// A bus tells the host why a transfer failed (a stall, a bus error, a unit gone) from these.
TEST(SimulatedUnit, ConnectionTellsHowEachTransferEnded) {
    struct Case {
        const char* name;
        std::optional<Fault> fault;  // on the first request
        std::uint8_t request;        // class request to interface 0, host to device, no data
        bool rebootFails;
        TransferOutcome first;
        TransferOutcome next;  // a DFU_GETSTATUS after it
    };
    using enum TransferOutcome;
    const std::vector<Case> cases = {
        {"answered", std::nullopt, 0x01, false, stalled, completed},  // empty chunk: out of order
        {"stall", Fault::stall, 0xF0, false, stalled, completed},
        {"fail", Fault::fail, 0xF0, false, failed, completed},
        {"vanish", Fault::vanish, 0xF0, false, absent, absent},
        {"leave", Fault::leave, 0x03, false, stalled, absent},  // a status request sent as OUT
        {"restart", std::nullopt, 0xF0, false, completed, absent},
        {"restart drops off", std::nullopt, 0xF0, true, failed, absent},
        {"unknown request", std::nullopt, 0x77, true, stalled, completed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto unit = SimulatedUnit::create({});
        unit->setRebootFails(c.rebootFails);
        if (c.fault) {
            unit->addFault(*c.fault, 0);
        }
        auto connection = unit->connect();
        std::uint32_t n = 99;
        EXPECT_EQ(connection->exchange({0x21, c.request, 0, 0, 0}, nullptr, 0, n), c.first);
        EXPECT_EQ(n, 0u);
        Bytes status(6);
        EXPECT_EQ(connection->exchange(usb::statusRequest(), status.data(), 6, n), c.next);
    }
}

}  // namespace
}  // namespace tavik::sim
