#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "sim/CompletionQueue.hpp"
#include "sim/SimulatedDeviceAccess.hpp"
#include "sim/SimulatedUnit.hpp"
#include "support/TestImages.hpp"

namespace tavik::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

constexpr SetupPacket upload(std::uint16_t block) {
    return {.requestType = 0xA1, .request = 0x02, .value = block, .index = 0, .length = 64};
}
constexpr SetupPacket download(std::uint16_t block, std::uint16_t length) {
    return {.requestType = 0x21, .request = 0x01, .value = block, .index = 0, .length = length};
}
constexpr SetupPacket getStatus{
    .requestType = 0xA1, .request = 0x03, .value = 0, .index = 0, .length = 6};
constexpr SetupPacket rebootToApp{
    .requestType = 0x21, .request = 0xF0, .value = 0, .index = 0, .length = 0};

// One transfer and what came of it.
struct Reply {
    bool ok = false;
    Bytes data;
};

Reply in(UsbTransport& t, const SetupPacket& setup) {
    std::array<std::uint8_t, 64> buffer{};
    std::uint32_t n = 99;
    Reply r;
    r.ok = t.controlTransfer(setup, buffer.data(), setup.length, n);
    r.data.assign(buffer.begin(), buffer.begin() + n);
    return r;
}

bool out(UsbTransport& t, std::uint16_t block, const Bytes& chunk) {
    Bytes buffer = chunk;
    buffer.resize(64);
    std::uint32_t n = 0;
    return t.controlTransfer(download(block, static_cast<std::uint16_t>(chunk.size())),
                             buffer.data(), static_cast<std::uint32_t>(chunk.size()), n);
}

std::shared_ptr<SimulatedUnit> unitHolding(Bytes image) {
    UnitConfig config;
    config.image = std::move(image);
    return SimulatedUnit::create(config);
}

TEST(SimulatedUnit, UploadReadsTheImageBackInBlocksEndingWithAShortOne) {
    struct Case {
        std::size_t size;
        std::vector<std::size_t> blockSizes;
    };
    const Case cases[] = {
        {130, {64, 64, 2}}, {128, {64, 64, 0}}, {63, {63}}, {0, {0}}, {64, {64, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const Bytes image = test::makeImage(c.size, "1.0.0+1");
        auto unit = unitHolding(image);
        auto t = unit->open();
        Bytes readBack;
        std::vector<std::size_t> sizes;
        for (std::uint16_t block = 0;; ++block) {
            const Reply r = in(*t, upload(block));
            ASSERT_TRUE(r.ok);
            sizes.push_back(r.data.size());
            readBack.insert(readBack.end(), r.data.begin(), r.data.end());
            if (r.data.size() < 64) {
                break;
            }
            EXPECT_EQ(unit->dfuState(), dfuUploadIdle);
        }
        EXPECT_EQ(sizes, c.blockSizes);
        EXPECT_EQ(readBack, image);
        EXPECT_EQ(unit->dfuState(), dfuIdle);
    }
}

TEST(SimulatedUnit, DownloadReplacesTheImageOnlyWhenTheEmptyChunkArrives) {
    const Bytes before = test::makeImage(100, "1.0.0+1", 1);
    const Bytes after = test::makeImage(130, "2.0.0+2", 2);
    auto unit = unitHolding(before);
    auto t = unit->open();

    ASSERT_TRUE(out(*t, 0, Bytes(after.begin(), after.begin() + 64)));
    ASSERT_TRUE(out(*t, 1, Bytes(after.begin() + 64, after.begin() + 128)));
    ASSERT_TRUE(out(*t, 2, Bytes(after.begin() + 128, after.end())));
    EXPECT_EQ(unit->image(), before);
    EXPECT_EQ(unit->dfuState(), dfuDnloadIdle);
    EXPECT_EQ(in(*t, getStatus).data, (Bytes{0, 0, 0, 0, dfuDnloadIdle, 0}));

    ASSERT_TRUE(out(*t, 3, {}));
    EXPECT_EQ(unit->image(), after);
    const Reply status = in(*t, getStatus);
    EXPECT_TRUE(status.ok);
    EXPECT_EQ(status.data, (Bytes{statusOk, 0, 0, 0, dfuIdle, 0}));
}

TEST(SimulatedUnit, ProtocolErrorsStallAndLeaveTheUnitInDfuError) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::uint16_t, std::size_t>> chunks;  // block, length
    };
    const Case cases[] = {
        {"a block out of sequence", {{0, 64}, {2, 64}}},
        {"the empty chunk with nothing before it", {{0, 0}}},
        {"the empty chunk with a wrong block number", {{0, 64}, {5, 0}}},
        {"a first chunk that is not block 0", {{1, 64}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes image = test::makeImage(200, "1.0.0+1");
        auto unit = unitHolding(image);
        auto t = unit->open();
        bool last = true;
        for (auto [block, length] : c.chunks) {
            last = out(*t, block, Bytes(length, 0x55));
        }
        EXPECT_FALSE(last);
        EXPECT_EQ(unit->image(), image);
        EXPECT_EQ(in(*t, getStatus).data, (Bytes{statusErrStalledPacket, 0, 0, 0, dfuError, 0}));
        EXPECT_FALSE(in(*t, upload(0)).ok) << "no read-back until the error is cleared";
    }
}

TEST(SimulatedUnit, RebootToAppRestartsTheUnitOffTheBus) {
    for (bool rebootFails : {false, true}) {
        SCOPED_TRACE(rebootFails);
        auto unit = unitHolding(test::makeImage(100, "1.0.0+1"));
        unit->setRebootFails(rebootFails);
        auto t = unit->open();
        std::uint32_t n = 7;
        EXPECT_EQ(t->controlTransfer(rebootToApp, nullptr, 0, n), !rebootFails);
        EXPECT_EQ(n, 0u);
        EXPECT_FALSE(unit->present());
        EXPECT_TRUE(unit->runningApplication());
        EXPECT_EQ(unit->open(), nullptr);
        EXPECT_FALSE(in(*t, getStatus).ok);

        const auto wire = unit->requests();
        ASSERT_EQ(wire.size(), 2u);
        EXPECT_EQ(wire[0].setup, (std::array<std::uint8_t, 8>{0x21, 0xF0, 0, 0, 0, 0, 0, 0}));
        EXPECT_TRUE(wire[0].unitPresent);
        EXPECT_FALSE(wire[1].unitPresent);

        unit->attach();
        EXPECT_FALSE(unit->runningApplication());
        EXPECT_FALSE(in(*t, getStatus).ok) << "a handle from before the restart stays dead";
        auto again = unit->open();
        ASSERT_NE(again, nullptr);
        EXPECT_TRUE(in(*again, getStatus).ok);
    }
}

TEST(SimulatedUnit, MisbehavesOnTheSelectedRequest) {
    struct Case {
        const char* what;
        Fault fault;
        std::uint64_t k;
        RequestKind kind;
        std::vector<bool> expected;  // of upload 0, status, upload 1, status, upload 2
        bool presentAfter;
        std::uint8_t stateAfter;
    };
    const Case cases[] = {
        {"fail request 1",
         Fault::fail,
         1,
         RequestKind::any,
         {true, false, true, true, true},
         true,
         dfuIdle},
        {"stall request 2",
         Fault::stall,
         2,
         RequestKind::any,
         {true, true, false, true, false},
         true,
         dfuError},
        {"fail upload 1",
         Fault::fail,
         1,
         RequestKind::upload,
         {true, true, false, true, true},
         true,
         dfuIdle},
        {"fail status 1",
         Fault::fail,
         1,
         RequestKind::getStatus,
         {true, true, true, false, true},
         true,
         dfuIdle},
        {"vanish at request 3",
         Fault::vanish,
         3,
         RequestKind::any,
         {true, true, true, false, false},
         false,
         dfuUploadIdle},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto unit = unitHolding(test::makeImage(150, "1.0.0+1"));
        unit->addFault(c.fault, c.k, c.kind);
        auto t = unit->open();
        std::vector<bool> results;
        results.push_back(in(*t, upload(0)).ok);
        results.push_back(in(*t, getStatus).ok);
        results.push_back(in(*t, upload(1)).ok);
        results.push_back(in(*t, getStatus).ok);
        results.push_back(in(*t, upload(2)).ok);
        EXPECT_EQ(results, c.expected);
        EXPECT_EQ(unit->present(), c.presentAfter);
        if (c.presentAfter) {
            EXPECT_EQ(unit->dfuState(), c.stateAfter);
        }
    }
}

TEST(SimulatedUnit, AnswersAGivenStatusCutToTheHostsLength) {
    const Bytes replies[] = {{}, {1}, {0, 0, 0}, {0, 0, 0, 0, 10, 0}, {1, 2, 3, 4, 5, 6, 7, 8}};
    for (const Bytes& reply : replies) {
        SCOPED_TRACE(reply.size());
        auto unit = unitHolding({});
        unit->setStatusReply(reply);
        auto t = unit->open();
        const Reply r = in(*t, getStatus);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.data,
                  Bytes(reply.begin(), reply.begin() + std::min<std::size_t>(6, reply.size())));
    }
}

TEST(SimulatedUnit, CorruptsTheReadBackOrReturnsMoreThanItWasGiven) {
    const Bytes image = test::makeImage(130, "1.0.0+1");
    auto unit = unitHolding(image);
    unit->corruptBlock(1);
    auto t = unit->open();
    EXPECT_EQ(in(*t, upload(0)).data, Bytes(image.begin(), image.begin() + 64));
    Bytes block1 = in(*t, upload(1)).data;
    ASSERT_EQ(block1.size(), 64u);
    EXPECT_EQ(block1[0], static_cast<std::uint8_t>(image[64] ^ 0xFF));
    EXPECT_TRUE(std::equal(block1.begin() + 1, block1.end(), image.begin() + 65));
    EXPECT_EQ(unit->image(), image) << "only the read-back is corrupted";

    auto longer = unitHolding(image);
    longer->setExtraReadBackBytes(70);
    auto t2 = longer->open();
    EXPECT_EQ(in(*t2, upload(2)).data.size(), 64u);
    EXPECT_EQ(in(*t2, upload(3)).data.size(), 8u);
}

TEST(SimulatedUnit, DescribesItselfInItsDescriptors) {
    UnitConfig config;
    config.vendorId = 0x07FD;
    config.productId = 0x000D;
    config.product = u"Tavik\u20AC";
    auto unit = SimulatedUnit::create(config);
    auto t = unit->open();

    std::array<std::uint8_t, 18> d{};
    std::uint32_t n = 0;
    ASSERT_TRUE(t->getDescriptor(1, 0, 0, d.data(), 18, n));
    ASSERT_EQ(n, 18u);
    EXPECT_EQ(d[0], 18);
    EXPECT_EQ(d[1], 1);
    EXPECT_EQ(d[8] | d[9] << 8, 0x07FD);
    EXPECT_EQ(d[10] | d[11] << 8, 0x000D);
    EXPECT_EQ(d[15], config.productIndex);
    EXPECT_EQ(d[16], config.serialIndex);

    std::array<std::uint8_t, 255> s{};
    ASSERT_TRUE(t->getDescriptor(3, config.productIndex, 0x0409, s.data(), 255, n));
    EXPECT_EQ(n, 14u);
    EXPECT_EQ((Bytes(s.begin(), s.begin() + 14)),
              (Bytes{14, 3, 'T', 0, 'a', 0, 'v', 0, 'i', 0, 'k', 0, 0xAC, 0x20}));
    EXPECT_FALSE(t->getDescriptor(3, config.productIndex, 0x0407, s.data(), 255, n))
        << "only US English";
    EXPECT_FALSE(t->getDescriptor(3, 9, 0x0409, s.data(), 255, n)) << "no such string";
}

TEST(SimulatedUnit, StringDescriptorsCanClaimAnyLength) {
    struct Case {
        std::uint8_t bLength;
        std::u16string text;
        Bytes delivered;  // to a read of 255 bytes
    };
    const Case cases[] = {
        {0, u"AB", {0, 3}},
        {1, u"AB", {1, 3}},
        {3, u"AB", {3, 3, 'A'}},
        {10, u"ABCDEFG", {10, 3, 'A', 0, 'B', 0, 'C', 0, 'D', 0}},
        {40, u"AB", {40, 3, 'A', 0, 'B', 0}},  // claims more than it has
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int{c.bLength});
        UnitConfig config;
        config.serial = c.text;
        config.serialLength = c.bLength;
        auto unit = SimulatedUnit::create(config);
        auto t = unit->open();
        std::array<std::uint8_t, 255> s{};
        std::uint32_t n = 0;
        ASSERT_TRUE(t->getDescriptor(3, config.serialIndex, 0x0409, s.data(), 255, n));
        EXPECT_EQ(Bytes(s.begin(), s.begin() + n), c.delivered);
        ASSERT_TRUE(t->getDescriptor(3, config.serialIndex, 0x0409, s.data(), 1, n));
        EXPECT_EQ(n, 1u);
        EXPECT_EQ(s[0], c.bLength);
    }

    UnitConfig shortDescriptor;
    shortDescriptor.deviceDescriptorLength = 17;
    auto unit = SimulatedUnit::create(shortDescriptor);
    std::array<std::uint8_t, 18> d{};
    std::uint32_t n = 0;
    EXPECT_TRUE(unit->open()->getDescriptor(1, 0, 0, d.data(), 18, n));
    EXPECT_EQ(n, 17u);
}

TEST(SimulatedUnit, RecordsEveryRequestAsWireBytes) {
    const Bytes image = test::makeImage(130, "1.0.0+1");
    auto unit = unitHolding(image);
    auto t = unit->open();
    std::array<std::uint8_t, 18> d{};
    std::uint32_t n = 0;
    t->getDescriptor(1, 0, 0, d.data(), 18, n);
    in(*t, upload(0x1234));
    out(*t, 0, {1, 2, 3});
    in(*t, getStatus);

    const auto wire = unit->requests();
    ASSERT_EQ(wire.size(), 4u);
    EXPECT_EQ(wire[0].kind, RequestKind::deviceDescriptor);
    EXPECT_EQ(wire[0].setup, (std::array<std::uint8_t, 8>{0x80, 0x06, 0x00, 0x01, 0, 0, 18, 0}));
    EXPECT_EQ(wire[0].data.size(), 18u);
    EXPECT_EQ(wire[1].setup, (std::array<std::uint8_t, 8>{0xA1, 0x02, 0x34, 0x12, 0, 0, 0x40, 0}));
    EXPECT_TRUE(wire[1].data.empty()) << "block 0x1234 lies past the image";
    EXPECT_EQ(wire[2].setup, (std::array<std::uint8_t, 8>{0x21, 0x01, 0, 0, 0, 0, 3, 0}));
    EXPECT_EQ(wire[2].data, (Bytes{1, 2, 3}));
    EXPECT_EQ(wire[3].setup, (std::array<std::uint8_t, 8>{0xA1, 0x03, 0, 0, 0, 0, 6, 0}));
    EXPECT_EQ(wire[3].data, (Bytes{0, 0, 0, 0, dfuDnloadIdle, 0}));
    for (const WireRequest& r : wire) {
        EXPECT_TRUE(r.succeeded);
        EXPECT_EQ(r.connection, 1u);
    }
}

TEST(SimulatedUnit, HandlesStayOpenWhileAnyHolderRemains) {
    auto unit = unitHolding({});
    SimulatedDeviceAccess access(unit);
    OpenResult first = access.openDevice();
    ASSERT_EQ(first.result, hrOk);
    EXPECT_EQ(unit->openHandles(), 1u);
    {
        std::shared_ptr<UsbTransport> worker = first.device;
        first.device.reset();
        EXPECT_EQ(unit->openHandles(), 1u);
    }
    EXPECT_EQ(unit->openHandles(), 0u);

    unit->detach();
    const OpenResult absent = access.openDevice();
    EXPECT_EQ(absent.result, hrNotFound);
    EXPECT_TRUE(absent.deviceNotFound);
    EXPECT_EQ(absent.device, nullptr);

    access.failOpens(hrAccessDenied, false);
    unit->attach();
    const OpenResult denied = access.openDevice();
    EXPECT_EQ(denied.result, hrAccessDenied);
    EXPECT_FALSE(denied.deviceNotFound);
    EXPECT_EQ(unit->openHandles(), 0u);

    SimulatedDeviceAccess nothing(nullptr);
    EXPECT_TRUE(nothing.openDevice().deviceNotFound);
}

TEST(SimulatedUnit, HeldTransferWaitsForReleaseWhileOthersProceed) {
    const Bytes image = test::makeImage(130, "1.0.0+1");
    auto unit = unitHolding(image);
    unit->addFault(Fault::hold, 0, RequestKind::upload);
    auto a = unit->open();
    auto b = unit->open();

    Reply held;
    std::thread worker([&] { held = in(*a, upload(1)); });
    ASSERT_TRUE(unit->waitUntilHeld(1, 10s));
    const Reply other = in(*b, upload(0));
    EXPECT_TRUE(other.ok);
    unit->releaseHeld();
    worker.join();

    EXPECT_TRUE(held.ok);
    EXPECT_EQ(held.data, Bytes(image.begin() + 64, image.begin() + 128));
    const auto wire = unit->requests();
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[0].connection, 1u);
    EXPECT_EQ(wire[1].connection, 2u);
    EXPECT_EQ(wire[1].concurrent, 1u);
    EXPECT_EQ(unit->maxConcurrentTransfers(), 2u);
}

TEST(SimulatedUnit, UnitUnpluggedDuringAHeldTransferFailsIt) {
    auto unit = unitHolding(test::makeImage(130, "1.0.0+1"));
    unit->addFault(Fault::hold, 0);
    auto t = unit->open();
    Reply held{true, {}};
    std::thread worker([&] { held = in(*t, getStatus); });
    ASSERT_TRUE(unit->waitUntilHeld(1, 10s));
    unit->detach();
    unit->releaseHeld();
    worker.join();
    EXPECT_FALSE(held.ok);
    EXPECT_TRUE(held.data.empty());
}

TEST(CompletionQueue, DeliversInOrderAndOutlivesItsPump) {
    auto queue = std::make_shared<CompletionQueue>();
    EXPECT_FALSE(queue->tryNext());
    std::thread poster([q = std::shared_ptr<CompletionPoster>(queue)] {
        q->post(true, 64);
        q->post(false, 0);
    });
    const auto first = queue->waitNext(10s);
    const auto second = queue->waitNext(10s);
    poster.join();
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(first->success);
    EXPECT_EQ(first->bytesTransferred, 64u);
    EXPECT_FALSE(second->success);
    EXPECT_EQ(queue->postedTotal(), 2u);

    // A worker that posts after the pump has gone.
    std::shared_ptr<CompletionPoster> held = queue;
    queue.reset();
    std::thread late([held]() mutable {
        held->post(true, 6);
        held.reset();
    });
    held.reset();
    late.join();
}

}  // namespace
}  // namespace tavik::sim
