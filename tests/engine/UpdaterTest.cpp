// The engine with the window and the simulated unit: the exact requests, lines and window states
// of finding a unit, of whole runs and of runs that end early.
#include <gtest/gtest.h>

// Unit configurations are designated initializers that leave the other fields at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/DfuRequest.hpp"
#include "support/EngineHarness.hpp"
#include "support/TestImages.hpp"

namespace tavik {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;
using sim::Fault;
using test::EngineHarness;
using test::makeImage;
using namespace std::literals;

constexpr const char* noUnitText = "No Tavik in update mode. Hold MON on IN 2 and power on device.";
const std::string idle = "0x00 0x00 0x00 0x00 0x02 0x00\n";
const std::string reboot = "About to reboot to app\nR Rebooted\n";

// A 130-byte image over another one, so that the run passes every phase: upload 0 (differs),
// download 0..3, status, upload 0..2, restart. Ten requests; index 9 is the restart.
struct SmallRun : EngineHarness {
    explicit SmallRun(WorkerLauncher launcher = launchDetachedThread)
        : EngineHarness({.image = makeImage(130, "1.0.0+1", 7)}, std::move(launcher)) {
        create();
        useImage(makeImage(130, "2.0.0+5"));
    }
};

TEST(UpdaterConnect, FailuresEndInTheNoUnitStateWithTheirLine) {
    using enum DeviceStatus;
    const struct {
        DeviceResult openFailure;  // done: the unit opens
        const char* line;
        std::uint32_t descriptorLength = 18;
        std::uint16_t vendorId = 0x07FD;
    } cases[] = {
        {{notFound, hrNotFound}, "Device not connected or driver not installed\n"},
        {{accessDenied, hrAccessDenied}, "Failed looking for device, HRESULT 0x80070005\n"},
        {{other, hrInsufficientBuffer}, "Failed looking for device, HRESULT 0x8007007a\n"},
        {{}, "Error getting descriptor\n", 17},
        {{}, "", 18, 0x07FE},  // another vendor's unit
    };
    // Where the platform names a remedy for access denied, that failure alone shows it.
    const std::string remedy = "No access: install the udev rule.";
    for (const auto& c : cases) {
        for (const bool withRemedy : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << c.line << c.openFailure.code << " remedy " << withRemedy);
            EngineHarness h({.vendorId = c.vendorId, .deviceDescriptorLength = c.descriptorLength});
            if (!c.openFailure.ok()) {
                h.devices.failOpens(c.openFailure, c.openFailure.status == notFound);
            }
            h.window.setAccessDeniedText(withRemedy ? remedy : "");
            h.create();
            EXPECT_EQ(h.log.lines, *c.line != 0 ? Lines{c.line} : Lines{});
            EXPECT_EQ(h.window.messageText(),
                      withRemedy && c.openFailure.status == accessDenied ? remedy : "");
            EXPECT_FALSE(h.updater.deviceOpen());
            EXPECT_EQ(h.unit->openHandles(), 0u) << "whatever was opened is closed again";
            EXPECT_EQ(h.window.statusText(), noUnitText);
            EXPECT_EQ(h.window.actionButton(), nullptr);
        }
    }
}

TEST(UpdaterConnect, ArrivalWhileOpenAsksNothingAndCloseReleases) {
    EngineHarness h;
    h.create();
    ASSERT_TRUE(h.updater.deviceOpen());
    const std::size_t requests = h.unit->requestCount();
    h.window.onDeviceArrival();
    EXPECT_EQ(h.devices.openCount(), 1);
    EXPECT_EQ(h.unit->requestCount(), requests);
    EXPECT_TRUE(h.log.lines.empty());

    h.window.onClose();
    EXPECT_EQ(h.unit->openHandles(), 0u);
    EXPECT_EQ(h.window.statusText(), noUnitText);
}

TEST(UpdaterConnect, BuildIsTheVersionAfterItsFirstPlus) {
    const char* const cases[][2] = {
        {"2.2.7+611", "611"}, {"1+2+3", "2+3"}, {"1.0.0+", ""}, {"1.0.0", ""}, {"", ""}};
    for (const auto& [version, build] : cases) {
        EngineHarness h({.image = makeImage(64, version)});
        h.create();
        std::string texts[4];
        h.updater.getDeviceInfo(texts[0], texts[1], texts[2], texts[3]);
        EXPECT_EQ(texts[0] + "|" + texts[1] + "|" + texts[2] + "|" + texts[3],
                  std::string("Tavik|T1X00001|") + version + "|" + build);
    }
}

// Every request and log line of small update and compare-only runs (see test::describe). Only six
// status bytes with bState dfuIDLE let a run go on; bytes that did not arrive show as zeros.
TEST(UpdaterRun, SmallImagesOnTheWire) {
    using Unit = sim::SimulatedUnit&;
    const Bytes image130 = makeImage(130, "2.0.0+5"), image128 = makeImage(128, "2.0.0+5");
    const Bytes other130 = makeImage(130, "1.0.0+1", 7), other128 = makeImage(128, "1.0.0+1", 7);
    Bytes changed = image130;
    changed[100] ^= 1;
    const Bytes cut(image130.begin(), image130.begin() + 100), blank;
    const std::string w = "U0>64 D0[64] D1[64] D2[2] D3[0] About to get status\nS>";
    const std::string v = "U0>64 U1>64 U2>2 " + reboot;  // a verification that passes
    const std::string refused = "GetStatus unexpected result\n";
    const struct {
        const char* what;
        const Bytes &image, &held;  // the run's image, what the unit holds
        std::string transcript;
        const char* check;             // the compare-only run's, where it tells something
        std::string_view status = "";  // the unit's status reply, when not its own
        void (*misbehave)(Unit) = [](Unit) {};
    } runs[] = {
        {"130 bytes over another image", image130, other130, w + "6 " + idle + v,
         "U0>64 Image differs\n"},
        {"already there", image130, image130, v, "U0>64 U1>64 U2>2 Image matches\n"},
        {"128 bytes over another image", image128, other128,
         "U0>64 D0[64] D1[64] D2[0] About to get status\nS>6 " + idle + "U0>64 U1>64 U2>0 " +
             reboot,
         nullptr},
        {"128 bytes there: the empty block ends it", image128, image128,
         "U0>64 U1>64 U2>0 " + reboot, nullptr},
        {"a blank unit is written", image130, blank, "U0>0 " + w.substr(6) + "6 " + idle + v,
         "U0>0 Image differs\n"},
        {"a later block differs: all is written", image130, changed,
         "U0>64 U1>64 " + w.substr(6) + "6 " + idle + v, "U0>64 U1>64 Image differs\n"},
        {"stored data that ends early", image130, cut,
         "U0>64 U1>36 " + w.substr(6) + "6 " + idle + v, "U0>64 U1>36 Image differs\n"},
        {"a unit that returns more than the image", image130, image130,
         "U0>64 U1>64 U2>12 " + w.substr(6) + "6 " + idle + "U0>64 U1>64 U2>12 Update Failed\n",
         "U0>64 U1>64 U2>12 Image differs\n", ""sv, [](Unit u) { u.setExtraReadBackBytes(10); }},
        {"a corrupt block in the verification", image130, other130,
         w + "6 " + idle + "U0>64 U1>64 Update Failed\n", nullptr, ""sv,
         [](Unit u) { u.corruptBlock(1); }},
        {"a status of dfuERROR", image130, other130,
         w + "6 0x0f 0x00 0x00 0x00 0x0a 0x00\n" + refused, nullptr, "\x0F\0\0\0\x0A\0"sv},
        {"a status of three bytes", image130, other130,
         w + "3 0x01 0x02 0x03 0x00 0x00 0x00\n" + refused, nullptr, "\x01\x02\x03"sv},
        {"a status of five bytes, though dfuIDLE", image130, other130, w + "5 " + idle + refused,
         nullptr, "\0\0\0\0\x02"sv},
        {"an error status in dfuIDLE goes on", image130, other130,
         w + "6 0x0e 0x10 0x00 0x00 0x02 0x00\n" + v, nullptr, "\x0E\x10\0\0\x02\0"sv},
    };
    for (const auto& run : runs) {
        for (const bool check : {false, true}) {
            if (check && run.check == nullptr) {
                continue;
            }
            SCOPED_TRACE(testing::Message() << run.what << (check ? ", compare-only" : ""));
            EngineHarness h({.image = run.held});
            run.misbehave(*h.unit);
            if (!run.status.empty()) {
                h.unit->setStatusReply(Bytes(run.status.begin(), run.status.end()));
            }
            h.create();
            h.useImage(run.image);
            check ? h.updater.startCheck() : h.window.onActionClicked();
            ASSERT_TRUE(h.runToEnd());
            EXPECT_EQ(h.transcript(), check ? run.check : run.transcript);
            const bool succeeded = !h.log.lines.empty() && h.log.lines.back() == "Rebooted\n";
            EXPECT_EQ(h.unit->runningApplication(), succeeded);
            if (check) {
                EXPECT_EQ(h.unit->image(), run.held);
                // The image stays set: an update may follow the check.
                EXPECT_TRUE(h.update());
                EXPECT_EQ(h.transcript(), run.check + run.transcript);
                continue;
            }
            EXPECT_EQ(h.window.messageText(), succeeded ? "Success" : "Update Failed");
            EXPECT_EQ(test::brokenRule(h.run(), run.image, succeeded), "");
            EXPECT_EQ(h.unit->image(), run.image) << "the unit ends up holding the image";
            if (&run == &runs[0]) {
                // After the k-th request of a phase the bar shows k; the status and the restart
                // show what the phase before them left.
                EXPECT_EQ(h.view.positions,
                          (std::vector<std::uint16_t>{1, 1, 2, 3, 4, 4, 1, 2, 3, 3}));
                EXPECT_EQ(h.view.record(h.window.progressBar())->rangeMaximum, 3);
            }
        }
    }
}

TEST(UpdaterRun, StartIsRefusedWithoutAnImageOrDuringARun) {
    SmallRun h;
    h.updater.setFirmwareImage(nullptr, 0);
    h.updater.startUpdate();
    EXPECT_EQ(h.log.lines, Lines{"Firmware Update In Progress\n"});
    EXPECT_EQ(h.sent(), 0u);

    h.useImage(h.image);
    h.window.onActionClicked();
    ASSERT_EQ(h.updater.state(), UpdateState::CompareExisting);
    h.window.onActionClicked();
    EXPECT_EQ(h.log.lines, Lines{"Firmware Update In Progress\n"});
    ASSERT_TRUE(h.runToEnd());
    EXPECT_EQ(h.window.messageText(), "Success");
    EXPECT_EQ(h.sent(), 10u) << "the refused click changed nothing";

    // A run that restarted the unit has used up its image.
    h.log.clear();
    h.updater.startUpdate();
    EXPECT_EQ(h.log.lines, Lines{"Firmware Update In Progress\n"});
}

// Request k cannot start its worker, fails on the bus, or completes as the unit is removed: the
// run ends there with its line, and only an end at the restart counts as success.
TEST(UpdaterFailure, RunEndsAtEveryRequest) {
    enum Mode { noWorker, fails, removed };
    const std::string progress[] = {"About to get status\n", idle, "About to reboot to app\n"};
    for (std::size_t k = 0; k < 10; ++k) {
        for (Mode mode : {noWorker, fails, removed}) {
            SCOPED_TRACE(testing::Message() << "request " << k << ", mode " << mode);
            auto launches = std::make_shared<std::size_t>(0);
            SmallRun r([launches, fail = mode == noWorker ? k : SIZE_MAX](auto work) {
                return (*launches)++ != fail && launchDetachedThread(std::move(work));
            });
            // The lines written by the time request k is sent, then the end's.
            Lines expected(progress, progress + (k >= 9 ? 3 : k >= 6 ? 2 : k >= 5 ? 1 : 0));
            if (mode == removed) {
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
                expected.push_back(k == 9 ? "Rebooted\n" : "Device disconnected!\n");
            } else {
                if (mode == fails) {
                    r.unit->addFault(Fault::fail, r.from + k);
                }
                ASSERT_TRUE(r.update());
                expected.push_back(mode == fails ? "AsyncRequestCallback Error\n"
                                                 : "Could not start a worker thread\n");
            }
            EXPECT_EQ(r.log.lines, expected);
            const bool success = k == 9 && mode != noWorker;
            EXPECT_EQ(r.window.messageText(), success ? "Success" : "Update Failed");
            EXPECT_EQ(r.sent(), mode == noWorker ? k : k + 1) << "nothing sent after the end";
            EXPECT_EQ(r.unit->image() == r.image, k >= (mode == removed ? 4u : 5u))
                << "the image lands with the empty chunk";
            if (mode == removed) {
                EXPECT_EQ(r.window.statusText(), noUnitText);
                EXPECT_EQ(r.unit->openHandles(), 0u);
                continue;
            }
            // The unit stayed: closed, it is released; opened again, it updates.
            r.window.onDeviceRemoval();
            EXPECT_EQ(r.unit->openHandles(), 0u);
            r.window.onDeviceArrival();
            r.useImage(r.image);
            ASSERT_TRUE(r.update());
            EXPECT_TRUE(r.unit->runningApplication());
        }
    }
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

// The bytes taken from a completed request: never more than the transfer moved, however many
// the completion reports, and none from a request that sent its data or failed. The request keeps
// its transfer's result; the completion's success flag says the same.
TEST(DfuRequest, ReceivedIsWhatTheTransferMovedAtMostAndTheResultIsKept) {
    using enum DeviceStatus;
    const struct {
        SetupPacket setup;
        std::uint64_t reported;
        std::size_t received;
        std::optional<Fault> fault = std::nullopt;
        DeviceStatus status = done;
    } cases[] = {
        {usb::uploadRequest(0), 65, 64},
        {usb::uploadRequest(0), 1000, 64},
        {usb::uploadRequest(1), 1000, 36},
        {usb::uploadRequest(0), 10, 10},
        {usb::statusRequest(), 65, 6},
        {usb::downloadRequest(0, 64), 64, 0},
        {usb::uploadRequest(0), 64, 0, Fault::stall, stalled},
        {usb::uploadRequest(0), 64, 0, Fault::fail, other},
        {usb::statusRequest(), 6, 0, Fault::vanish, gone},
        {usb::statusRequest(), 6, 6, Fault::leave, done},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        const auto unit = sim::SimulatedUnit::create({.image = makeImage(100, "1.0.0+1")});
        if (c.fault) {
            unit->addFault(*c.fault, 0);
        }
        const auto queue = std::make_shared<sim::CompletionQueue>();
        DfuRequest request(unit->open(), queue, c.setup, {}, true);
        request.perform();
        const auto completion = queue->tryNext();
        ASSERT_TRUE(completion);
        EXPECT_EQ(request.result().status, c.status);
        EXPECT_EQ(completion->success, c.status == done);
        EXPECT_EQ(request.received(c.reported).size(), c.received) << c.reported;
    }
}

}  // namespace
}  // namespace tavik
