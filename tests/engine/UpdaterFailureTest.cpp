#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/EngineHarness.hpp"
#include "support/TestImages.hpp"

namespace tavik {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;
using sim::Fault;
using sim::RequestKind;
using test::EngineHarness;
using test::makeImage;

constexpr const char* noUnitText = "No Tavik in update mode. Hold MON on IN 2 and power on device.";

// A unit holding another image of the same size, so that a run passes every phase:
// upload 0 (differs), download 0..3, status, upload 0..2, restart: ten requests.
constexpr std::size_t runLength = 10;
constexpr std::size_t rebootIndex = runLength - 1;

struct Fixture {
    Fixture() : Fixture(Updater::launchDetachedThread) {}
    explicit Fixture(Updater::WorkerLauncher launcher) : h(config(), std::move(launcher)) {
        h.create();
        h.updater.setFirmwareImage(image.data(), image.size());
        from = h.unit->requestCount();
        h.log.clear();
    }
    static sim::UnitConfig config() {
        sim::UnitConfig c;
        c.image = makeImage(130, "1.0.0+1", 7);
        return c;
    }
    std::vector<std::string> requestsOfRun() const {
        std::vector<std::string> out;
        const auto wire = h.unit->requests();
        for (std::size_t i = from; i < wire.size(); ++i) {
            out.push_back(test::describe(wire[i]));
        }
        return out;
    }

    const Bytes image = makeImage(130, "2.0.0+5");
    EngineHarness h;
    std::size_t from = 0;
};

TEST(UpdaterFailure, EveryPhaseEndsWithItsLineAndAFailedRun) {
    struct Case {
        const char* what;
        std::function<void(sim::SimulatedUnit&, std::uint64_t uploadsSeen)> misbehave;
        Lines tail;  // the last log lines
        const char* message;
        std::size_t requests;
    };
    const Case cases[] = {
        {"the first read-back fails",
         [](sim::SimulatedUnit& u, std::uint64_t up) {
             u.addFault(Fault::stall, up, RequestKind::upload);
         },
         {"AsyncRequestCallback Error\n"},
         "Update Failed",
         1},
        {"a chunk is stalled",
         [](sim::SimulatedUnit& u, std::uint64_t) {
             u.addFault(Fault::stall, 1, RequestKind::download);
         },
         {"AsyncRequestCallback Error\n"},
         "Update Failed",
         3},
        {"the empty chunk fails",
         [](sim::SimulatedUnit& u, std::uint64_t) {
             u.addFault(Fault::fail, 3, RequestKind::download);
         },
         {"AsyncRequestCallback Error\n"},
         "Update Failed",
         5},
        {"the status request fails",
         [](sim::SimulatedUnit& u, std::uint64_t) {
             u.addFault(Fault::fail, 0, RequestKind::getStatus);
         },
         {"About to get status\n", "AsyncRequestCallback Error\n"},
         "Update Failed",
         6},
        {"the unit reports dfuERROR",
         [](sim::SimulatedUnit& u, std::uint64_t) {
             u.setStatusReply({0x0F, 0, 0, 0, 0x0A, 0});
         },
         {"About to get status\n", "0x0f 0x00 0x00 0x00 0x0a 0x00\n",
          "GetStatus unexpected result\n"},
         "Update Failed",
         6},
        // Stale bytes of the last chunk sit in the buffer; bytes that did not arrive show as 0.
        {"a status of three bytes is no status",
         [](sim::SimulatedUnit& u, std::uint64_t) {
             u.setStatusReply({0x01, 0x02, 0x03});
         },
         {"About to get status\n", "0x01 0x02 0x03 0x00 0x00 0x00\n",
          "GetStatus unexpected result\n"},
         "Update Failed",
         6},
        {"an empty status reply",
         [](sim::SimulatedUnit& u, std::uint64_t) { u.setStatusReply({}); },
         {"About to get status\n", "0x00 0x00 0x00 0x00 0x00 0x00\n",
          "GetStatus unexpected result\n"},
         "Update Failed",
         6},
        {"five bytes that would read as idle with a stale sixth",
         [](sim::SimulatedUnit& u, std::uint64_t) {
             u.setStatusReply({0, 0, 0, 0, 0x02});
         },
         {"About to get status\n", "0x00 0x00 0x00 0x00 0x02 0x00\n",
          "GetStatus unexpected result\n"},
         "Update Failed",
         6},
        {"a non-zero bStatus with dfuIDLE is accepted",
         [](sim::SimulatedUnit& u, std::uint64_t) {
             u.setStatusReply({0x0E, 0x10, 0, 0, 0x02, 0});
         },
         {"0x0e 0x10 0x00 0x00 0x02 0x00\n", "About to reboot to app\n", "Rebooted\n"},
         "Success",
         10},
        {"a read-back in the verification fails",
         [](sim::SimulatedUnit& u, std::uint64_t up) {
             u.addFault(Fault::fail, up + 2, RequestKind::upload);
         },
         {"AsyncRequestCallback Error\n"},
         "Update Failed",
         8},
        {"the restart request fails as the unit drops off the bus",
         [](sim::SimulatedUnit& u, std::uint64_t) { u.setRebootFails(true); },
         {"About to reboot to app\n", "AsyncRequestCallback Error\n"},
         "Success",
         10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f;
        c.misbehave(*f.h.unit, f.h.seen(RequestKind::upload));
        ASSERT_TRUE(f.h.update());
        const Lines lines = f.h.log.lines();
        ASSERT_GE(lines.size(), c.tail.size());
        EXPECT_EQ(Lines(lines.end() - static_cast<std::ptrdiff_t>(c.tail.size()), lines.end()),
                  c.tail);
        EXPECT_EQ(f.h.window.messageText(), c.message);
        EXPECT_EQ(f.h.unit->requestCount() - f.from, c.requests) << "nothing sent after the end";
        EXPECT_EQ(f.h.updater.state(), UpdateState::Idle);

        // Only a completed restart uses the image up; after any other end a click runs again.
        const bool restarted = f.h.lastLine() == "Rebooted\n";
        f.h.updater.startUpdate();
        EXPECT_EQ(f.h.updater.state() == UpdateState::Idle, restarted);
        ASSERT_TRUE(f.h.runToEnd());
    }
}

// The unit vanishes as request k of the run arrives: that transfer fails, the run ends there, and
// nothing more is sent. Only a vanishing during the restart request counts as success.
TEST(UpdaterFailure, UnplugAtEveryRequestOfARun) {
    for (std::size_t k = 0; k < runLength; ++k) {
        SCOPED_TRACE(k);
        Fixture f;
        f.h.unit->addFault(Fault::vanish, f.from + k);
        ASSERT_TRUE(f.h.update());
        EXPECT_EQ(f.h.lastLine(), "AsyncRequestCallback Error\n");
        EXPECT_EQ(f.h.window.messageText(), k == rebootIndex ? "Success" : "Update Failed");
        EXPECT_EQ(f.h.unit->requestCount() - f.from, k + 1);

        // Then the removal notification.
        f.h.window.onDeviceRemoval();
        EXPECT_EQ(f.h.window.statusText(), noUnitText);
        EXPECT_EQ(f.h.unit->openHandles(), 0u);
        EXPECT_EQ(f.h.queue->waiting(), 0u);
    }
}

// The removal notification comes after request k has completed but before its completion is
// delivered: the next request finds no unit and is not sent.
TEST(UpdaterFailure, RemovalBetweenRequestsEndsTheRunBeforeTheNextOne) {
    for (std::size_t k = 0; k < runLength; ++k) {
        SCOPED_TRACE(k);
        Fixture f;
        f.h.window.onActionClicked();
        for (std::size_t i = 0; i < k; ++i) {
            ASSERT_TRUE(f.h.deliverOne());
        }
        const auto completion = f.h.queue->waitNext(test::completionPatience);
        ASSERT_TRUE(completion);
        ASSERT_EQ(f.h.unit->requestCount() - f.from, k + 1);
        f.h.unit->detach();
        f.h.window.onDeviceRemoval();
        f.h.window.onTransferCompleted(completion->success, completion->bytesTransferred);
        ASSERT_TRUE(f.h.runToEnd());

        EXPECT_EQ(f.h.unit->requestCount() - f.from, k + 1) << "nothing sent to a closed unit";
        if (k == rebootIndex) {
            EXPECT_EQ(f.h.lastLine(), "Rebooted\n");
            EXPECT_EQ(f.h.window.messageText(), "Success");
        } else {
            EXPECT_EQ(f.h.lastLine(), "Device disconnected!\n");
            EXPECT_EQ(f.h.window.messageText(), "Update Failed");
        }
        EXPECT_EQ(f.h.window.statusText(), noUnitText);
        EXPECT_EQ(f.h.unit->openHandles(), 0u);
    }
}

TEST(UpdaterFailure, HandlesOutliveTheTransferInFlight) {
    Fixture f;
    f.h.unit->addFault(Fault::hold, f.from + 2);  // the second chunk
    f.h.window.onActionClicked();
    ASSERT_TRUE(f.h.deliverOne());
    ASSERT_TRUE(f.h.deliverOne());
    ASSERT_TRUE(f.h.unit->waitUntilHeld(1, test::completionPatience));

    f.h.unit->detach();
    f.h.window.onDeviceRemoval();
    EXPECT_FALSE(f.h.updater.deviceOpen());
    EXPECT_EQ(f.h.unit->openHandles(), 1u) << "the worker still holds the handles";

    f.h.unit->releaseHeld();
    ASSERT_TRUE(f.h.runToEnd());
    EXPECT_EQ(f.h.unit->openHandles(), 0u) << "released once the transfer returned";
    EXPECT_EQ(f.h.lastLine(), "AsyncRequestCallback Error\n");
    EXPECT_EQ(f.h.window.messageText(), "Update Failed");
}

// The unit is removed while a worker is inside its transfer and arrives again at once. Its
// identification (version read included) runs while that transfer is still in progress, on its
// own transport and buffer.
TEST(UpdaterFailure, UnitArrivingAgainDuringATransferIsIdentifiedOnItsOwn) {
    Fixture f;
    f.h.unit->addFault(Fault::hold, f.from + 1);  // the first chunk
    f.h.window.onActionClicked();
    ASSERT_TRUE(f.h.deliverOne());
    ASSERT_TRUE(f.h.unit->waitUntilHeld(1, test::completionPatience));

    f.h.unit->detach();
    f.h.window.onDeviceRemoval();
    f.h.unit->setImage(makeImage(200, "2.2.7+611", 3));
    f.h.unit->attach();
    const std::size_t arrival = f.h.unit->requestCount();
    f.h.window.onDeviceArrival();
    ASSERT_TRUE(f.h.updater.deviceOpen());

    const auto wire = f.h.unit->requests();
    ASSERT_EQ(wire.size(), arrival + 6);
    const sim::WireRequest& versionRead = wire.back();
    EXPECT_EQ(versionRead.kind, RequestKind::upload);
    EXPECT_EQ(versionRead.concurrent, 1u) << "the old worker was still in its transfer";
    EXPECT_NE(versionRead.connection, wire[f.from + 1].connection);
    std::string product, serial, version, build;
    f.h.updater.getDeviceInfo(product, serial, version, build);
    EXPECT_EQ(version, "2.2.7+611");
    EXPECT_EQ(f.h.window.messageText(), "Up to date!");

    // The old transfer fails (its unit went away) and ends the run.
    f.h.unit->releaseHeld();
    ASSERT_TRUE(f.h.runToEnd());
    EXPECT_EQ(f.h.lastLine(), "AsyncRequestCallback Error\n");
    EXPECT_EQ(f.h.unit->openHandles(), 1u) << "only the new unit's handles remain";
    EXPECT_EQ(f.h.unit->image(), makeImage(200, "2.2.7+611", 3)) << "the old chunk never landed";
}

// The program ends (engine and window destroyed) while a worker is still inside its transfer.
TEST(UpdaterFailure, WorkerOutlivesTheEngineAndTheWindow) {
    auto f = std::make_unique<Fixture>();
    const auto unit = f->h.unit;
    const auto queue = f->h.queue;
    unit->addFault(Fault::hold, f->from);
    f->h.window.onActionClicked();
    ASSERT_TRUE(unit->waitUntilHeld(1, test::completionPatience));
    f.reset();

    EXPECT_EQ(unit->openHandles(), 1u);
    unit->releaseHeld();
    const auto completion = queue->waitNext(test::completionPatience);
    ASSERT_TRUE(completion);
    EXPECT_TRUE(completion->success);
    EXPECT_EQ(completion->bytesTransferred, 64u);
    EXPECT_EQ(unit->openHandles(), 0u);
}

TEST(UpdaterFailure, WorkerThatCannotStartEndsTheRunUnsent) {
    for (int failingLaunch = 0; failingLaunch < static_cast<int>(runLength); ++failingLaunch) {
        SCOPED_TRACE(failingLaunch);
        auto launches = std::make_shared<int>(0);
        Fixture f([launches, failingLaunch](std::function<void()> work) {
            if ((*launches)++ == failingLaunch) {
                return false;
            }
            return Updater::launchDetachedThread(std::move(work));
        });
        ASSERT_TRUE(f.h.update());
        EXPECT_EQ(f.h.lastLine(), "Could not start a worker thread\n");
        EXPECT_EQ(f.h.window.messageText(), "Update Failed");
        EXPECT_EQ(f.h.unit->requestCount() - f.from, static_cast<std::size_t>(failingLaunch));
        EXPECT_EQ(f.h.queue->postedTotal(), static_cast<std::uint64_t>(failingLaunch));

        // Threads can be had again: the next click runs to the end.
        ASSERT_TRUE(f.h.update());
        EXPECT_EQ(f.h.window.messageText(), "Success");
    }
}

}  // namespace
}  // namespace tavik
