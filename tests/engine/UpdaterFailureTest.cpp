// Runs that end early: failed transfers, removal, odd status replies, workers that outlive what
// started them, and workers that cannot start.
#include <gtest/gtest.h>

// Unit configurations are designated initializers that leave the other fields at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/EngineHarness.hpp"
#include "support/TestImages.hpp"

namespace tavik {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;
using sim::Fault;
using test::makeImage;

constexpr const char* noUnitText = "No Tavik in update mode. Hold MON on IN 2 and power on device.";
const std::string idle = "0x00 0x00 0x00 0x00 0x02 0x00\n";

// A 130-byte image over another one, so that the run passes every phase: upload 0 (differs),
// download 0..3, status, upload 0..2, restart. Ten requests; index 9 is the restart.
constexpr std::size_t runLength = 10;
constexpr std::size_t rebootIndex = 9;

struct SmallRun : test::EngineHarness {
    explicit SmallRun(Updater::WorkerLauncher launcher = Updater::launchDetachedThread)
        : EngineHarness({.image = makeImage(130, "1.0.0+1", 7)}, std::move(launcher)) {
        create();
        useImage(makeImage(130, "2.0.0+5"));
    }
};

// Request k of the run fails on the bus (the unit stays), or the unit vanishes as it arrives, or
// the unit is removed after it has completed but before its completion is delivered. The run ends
// there with its line and nothing more is sent; only an end at the restart counts as success.
TEST(UpdaterFailure, RunEndsAtEveryRequest) {
    enum Mode { fails, vanishes, removedBeforeDelivery };
    const std::string progress[] = {"About to get status\n", idle, "About to reboot to app\n"};
    for (std::size_t k = 0; k < runLength; ++k) {
        for (Mode mode : {fails, vanishes, removedBeforeDelivery}) {
            SCOPED_TRACE(testing::Message() << "request " << k << ", mode " << mode);
            SmallRun r;
            // The lines written by the time request k is sent.
            Lines expected(progress, progress + (k >= 9 ? 3 : k >= 6 ? 2 : k >= 5 ? 1 : 0));
            if (mode == removedBeforeDelivery) {
                r.window.onActionClicked();
                for (std::size_t i = 0; i < k; ++i) {
                    ASSERT_TRUE(r.deliverOne());
                }
                const auto completion = r.queue->waitNext(test::patience);
                ASSERT_TRUE(completion);
                r.unit->detach();
                r.window.onDeviceRemoval();
                r.window.onTransferCompleted(completion->success, completion->bytesTransferred);
                ASSERT_TRUE(r.runToEnd());
                if (k == 5) {
                    expected.push_back(idle);
                }
                expected.push_back(k == rebootIndex ? "Rebooted\n" : "Device disconnected!\n");
            } else {
                r.unit->addFault(mode == fails ? Fault::fail : Fault::vanish, r.from + k);
                ASSERT_TRUE(r.update());
                expected.push_back("AsyncRequestCallback Error\n");
            }
            EXPECT_EQ(r.log.lines, expected);
            EXPECT_EQ(r.window.messageText(), k == rebootIndex ? "Success" : "Update Failed");
            EXPECT_EQ(r.sent(), k + 1) << "nothing sent after the end";
            EXPECT_EQ(r.unit->image() == r.image, k >= (mode == removedBeforeDelivery ? 4u : 5u))
                << "the image lands with the empty chunk";
            if (mode == fails) {
                // The unit is still there: the next click runs to the end.
                ASSERT_TRUE(r.update());
                EXPECT_EQ(r.window.messageText(), "Success");
                EXPECT_TRUE(r.unit->runningApplication());
                continue;
            }
            if (mode == vanishes) {
                r.window.onDeviceRemoval();
            }
            EXPECT_EQ(r.window.statusText(), noUnitText);
            EXPECT_EQ(r.unit->openHandles(), 0u);
            EXPECT_EQ(r.queue->waiting(), 0u);
        }
    }
}

// Only six bytes with bState dfuIDLE let the run go on. Bytes that did not arrive show as zeros,
// not as what the last chunk left in the buffer.
TEST(UpdaterFailure, StatusReplies) {
    const struct {
        Bytes reply;
        const char* line;
        bool accepted;
    } cases[] = {
        {{0x0F, 0, 0, 0, 0x0A, 0}, "0x0f 0x00 0x00 0x00 0x0a 0x00\n", false},  // dfuERROR
        {{1, 2, 3}, "0x01 0x02 0x03 0x00 0x00 0x00\n", false},
        {{0, 0, 0, 0, 2}, "0x00 0x00 0x00 0x00 0x02 0x00\n", false},
        {{0x0E, 0x10, 0, 0, 2, 0}, "0x0e 0x10 0x00 0x00 0x02 0x00\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        SmallRun r;
        r.unit->setStatusReply(c.reply);
        ASSERT_TRUE(r.update());
        const Lines accepted = {"About to get status\n", c.line, "About to reboot to app\n",
                                "Rebooted\n"};
        const Lines refused = {"About to get status\n", c.line, "GetStatus unexpected result\n"};
        EXPECT_EQ(r.log.lines, c.accepted ? accepted : refused);
        EXPECT_EQ(r.window.messageText(), c.accepted ? "Success" : "Update Failed");
        EXPECT_EQ(r.sent(), c.accepted ? runLength : 6u);
    }
}

// The unit is removed while a worker is inside its transfer (the first chunk), and arrives again,
// holding another image, before that transfer has returned.
TEST(UpdaterFailure, RemovalAndReturnDuringATransfer) {
    SmallRun r;
    r.unit->addFault(Fault::hold, r.from + 1);
    r.window.onActionClicked();
    ASSERT_TRUE(r.deliverOne());
    ASSERT_TRUE(r.unit->waitUntilHeld(1, test::patience));
    r.unit->detach();
    r.window.onDeviceRemoval();
    EXPECT_FALSE(r.updater.deviceOpen());
    EXPECT_EQ(r.unit->openHandles(), 1u) << "the worker still holds the handles";

    // Identified, version read included, on its own transport and buffer.
    const Bytes newer = makeImage(200, "2.2.7+611", 3);
    r.unit->setImage(newer);
    r.unit->attach();
    r.window.onDeviceArrival();
    ASSERT_TRUE(r.updater.deviceOpen());
    const std::vector<sim::WireRequest> wire = r.unit->requests();
    EXPECT_EQ(test::describe(wire.back()), "U0>64 ");
    EXPECT_EQ(wire.back().concurrent, 1u) << "the old worker was still in its transfer";
    EXPECT_NE(wire.back().connection, wire[r.from + 1].connection);
    EXPECT_EQ(r.window.messageText(), "Up to date!");
    EXPECT_EQ(r.unit->openHandles(), 2u);

    // The old transfer fails (its unit went away) and ends the run.
    r.unit->releaseHeld();
    ASSERT_TRUE(r.runToEnd());
    EXPECT_EQ(r.lastLine(), "AsyncRequestCallback Error\n");
    EXPECT_EQ(r.unit->openHandles(), 1u) << "the old handles went once the transfer returned";
    EXPECT_EQ(r.unit->image(), newer) << "the old chunk never landed";
}

// The program ends (engine and window destroyed) while a worker is still inside its transfer.
TEST(UpdaterFailure, WorkerOutlivesTheEngineAndTheWindow) {
    auto r = std::make_unique<SmallRun>();
    const auto unit = r->unit;
    const auto queue = r->queue;
    unit->addFault(Fault::hold, r->from);
    r->window.onActionClicked();
    ASSERT_TRUE(unit->waitUntilHeld(1, test::patience));
    r.reset();

    EXPECT_EQ(unit->openHandles(), 1u);
    unit->releaseHeld();
    const auto completion = queue->waitNext(test::patience);
    ASSERT_TRUE(completion);
    EXPECT_TRUE(completion->success);
    EXPECT_EQ(completion->bytesTransferred, 64u);
    EXPECT_EQ(unit->openHandles(), 0u);
}

TEST(UpdaterFailure, WorkerThatCannotStartEndsTheRunUnsent) {
    for (int failing = 0; failing < static_cast<int>(runLength); ++failing) {
        SCOPED_TRACE(failing);
        auto launches = std::make_shared<int>(0);
        SmallRun r([launches, failing](std::function<void()> work) {
            return (*launches)++ != failing && Updater::launchDetachedThread(std::move(work));
        });
        ASSERT_TRUE(r.update());
        EXPECT_EQ(r.lastLine(), "Could not start a worker thread\n");
        EXPECT_EQ(r.window.messageText(), "Update Failed");
        EXPECT_EQ(r.sent(), static_cast<std::size_t>(failing));
        EXPECT_EQ(r.queue->postedTotal(), static_cast<std::uint64_t>(failing));

        // Threads can be had again: the next click runs to the end.
        ASSERT_TRUE(r.update());
        EXPECT_EQ(r.window.messageText(), "Success");
    }
}

}  // namespace
}  // namespace tavik
