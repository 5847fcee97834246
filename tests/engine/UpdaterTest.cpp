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
#include <thread>
#include <vector>

#include "contracts/RunEnd.hpp"
#include "engine/DfuRequest.hpp"
#include "sim/CompletionQueue.hpp"
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
constexpr RunEnd updated{.outcome = RunOutcome::updated, .phase = UpdateState::Reboot};

// Pieces of a run's transcript (see test::describe). DFU_UPLOAD of blocks 0, 1, ... answered with
// these many bytes: the comparison's or the verification's read-back.
std::string upload(std::initializer_list<int> replies) {
    std::string text;
    int block = 0;
    for (const int bytes : replies) {
        text += "U" + std::to_string(block++) + ">" + std::to_string(bytes) + " ";
    }
    return text;
}

// DFU_DNLOAD of blocks 0, 1, ... with chunks of these many bytes, the last one empty.
std::string download(std::initializer_list<int> chunks) {
    std::string text;
    int block = 0;
    for (const int bytes : chunks) {
        text += "D" + std::to_string(block++) + "[" + std::to_string(bytes) + "] ";
    }
    return text;
}

// DFU_GETSTATUS answered with these many bytes, and the status line written for them.
std::string status(int bytes, const std::string& line) {
    return "About to get status\nS>" + std::to_string(bytes) + " " + line;
}

std::string restart() {
    return "About to reboot to app\nR Rebooted\n";
}

// A 130-byte image over another one, so that the run passes every phase: upload 0 (differs),
// download 0..3, status, upload 0..2, restart.
struct SmallRun : EngineHarness {
    explicit SmallRun(WorkerLauncher launcher = launchDetachedThread)
        : EngineHarness({.image = makeImage(130, "1.0.0+1", 7)}, std::move(launcher)) {
        create();
        useImage(makeImage(130, "2.0.0+5"));
    }
};

// The small run's ten requests in order: the phase and block each is sent with, the line the
// engine writes just before sending it, and the one it writes once it has completed.
const struct {
    UpdateState phase;
    std::uint16_t block;
    std::string before, after;
} smallRun[] = {
    {UpdateState::CompareExisting, 0, "", ""},
    {UpdateState::Download, 0, "", ""},
    {UpdateState::Download, 1, "", ""},
    {UpdateState::Download, 2, "", ""},
    {UpdateState::Download, 3, "", ""},  // the empty chunk: the image lands as it completes
    {UpdateState::GetStatus, 0, "About to get status\n", idle},
    {UpdateState::Verify, 0, "", ""},
    {UpdateState::Verify, 1, "", ""},
    {UpdateState::Verify, 2, "", ""},
    {UpdateState::Reboot, 0, "About to reboot to app\n", "Rebooted\n"},
};
constexpr std::size_t emptyChunk = 4, restartRequest = 9;

// The lines written by the time request k of the small run is sent.
Lines linesBefore(std::size_t k) {
    Lines lines;
    for (std::size_t i = 0; i <= k; ++i) {
        if (!smallRun[i].before.empty()) {
            lines.push_back(smallRun[i].before);
        }
        if (i < k && !smallRun[i].after.empty()) {
            lines.push_back(smallRun[i].after);
        }
    }
    return lines;
}

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

// The engine's timers, fired by hand: the delays it asked for, and its tasks run when the test
// says their time has come.
struct ManualTimers final : EventLoop {
    struct Timer {
        std::chrono::milliseconds delay;
        std::function<void()> task;
    };
    void post(std::function<void()> task) override { waiting.push_back({0ms, std::move(task)}); }
    void postDelayed(std::chrono::milliseconds delay, std::function<void()> task) override {
        waiting.push_back({delay, std::move(task)});
        delays.push_back(delay);
    }
    // Runs the tasks waiting now (not those they set); false when none was waiting.
    bool fire() {
        const std::vector<Timer> due = std::exchange(waiting, {});
        for (const Timer& timer : due) {
            timer.task();
        }
        return !due.empty();
    }
    std::vector<Timer> waiting;
    std::vector<std::chrono::milliseconds> delays;
};

// A unit that is there but not ready is tried again, 5 more times 500 ms apart, until it opens;
// what cannot pass later is not tried again; access denied shows its remedy only at the end.
TEST(UpdaterRetry, ANotReadyUnitIsTriedAgainUntilItOpensOrTheTriesRunOut) {
    using enum DeviceStatus;
    constexpr int always = 100;
    const std::string remedy = "No access: install the udev rule.";
    const struct {
        const char* what;
        DeviceResult failure;  // done: the opens succeed
        bool deviceNotFound;
        int failingOpens;
        int opens;
        bool connected;
        std::uint32_t descriptorLength = 18;
        std::uint16_t vendorId = 0x07FD;
    } cases[] = {
        {"access denied for a moment", {accessDenied, hrAccessDenied}, false, 3, 4, true},
        {"access denied for good", {accessDenied, hrAccessDenied}, false, always, 6, false},
        {"busy, last try passes", {busy, static_cast<HResult>(0x800700AAu)}, false, 5, 6, true},
        {"an I/O error for good", {other, hrInvalidData}, false, always, 6, false},
        {"listed, gone by the open", {notFound, hrNotFound}, false, 1, 2, true},
        {"no unit listed", {notFound, hrNotFound}, true, always, 1, false},
        {"descriptor reads fail", {}, false, 0, 6, false, 17},
        {"another vendor's unit", {}, false, 0, 1, false, 18, 0x07FE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto timers = std::make_shared<ManualTimers>();
        EngineHarness h({.vendorId = c.vendorId, .deviceDescriptorLength = c.descriptorLength},
                        launchDetachedThread, timers);
        h.window.setAccessDeniedText(remedy);
        if (c.failingOpens > 0) {
            h.devices.failOpens(c.failure, c.deviceNotFound);
        }
        h.create();
        bool remedyEarly = false;
        while (!timers->waiting.empty()) {
            remedyEarly = remedyEarly || h.window.messageText() == remedy;
            EXPECT_TRUE(h.updater.openRetryPending());
            EXPECT_EQ(h.window.statusText(), noUnitText);
            if (h.devices.openCount() >= c.failingOpens) {
                h.devices.stopFailingOpens();
            }
            timers->fire();
        }
        EXPECT_FALSE(remedyEarly) << "the remedy waits for the last try";
        EXPECT_FALSE(h.updater.openRetryPending());
        EXPECT_EQ(h.devices.openCount(), c.opens);
        EXPECT_EQ(h.updater.deviceOpen(), c.connected);
        EXPECT_EQ(timers->delays, std::vector(static_cast<std::size_t>(c.opens - 1), 500ms));
        EXPECT_EQ(h.log.lines.size(), static_cast<std::size_t>(c.connected            ? c.opens - 1
                                                               : c.vendorId != 0x07FD ? 0
                                                                                      : c.opens))
            << "each failed try writes its line";
        EXPECT_EQ(h.window.messageText() == remedy,
                  !c.connected && c.failure.status == accessDenied);
        if (!c.connected) {
            EXPECT_EQ(h.unit->openHandles(), 0u);
        }
    }
}

// A removal stops the tries; an arrival starts them afresh (a pending try of the earlier round
// does nothing); a try still pending when the engine is gone does nothing either.
TEST(UpdaterRetry, RemovalArrivalAndTheEndOfTheEngineStopOrRestartTheTries) {
    const DeviceResult denied{DeviceStatus::accessDenied, hrAccessDenied};
    const auto fireAll = [](ManualTimers& timers) {
        while (timers.fire()) {
        }
    };
    {
        auto timers = std::make_shared<ManualTimers>();
        EngineHarness h({}, launchDetachedThread, timers);
        h.devices.failOpens(denied, false);
        h.create();
        h.window.onDeviceRemoval();
        EXPECT_FALSE(h.updater.openRetryPending());
        fireAll(*timers);
        EXPECT_EQ(h.devices.openCount(), 1) << "no try after a removal";
    }
    {
        auto timers = std::make_shared<ManualTimers>();
        EngineHarness h({}, launchDetachedThread, timers);
        h.devices.failOpens(denied, false);
        h.create();
        timers->fire(), timers->fire();
        h.window.onDeviceArrival();
        fireAll(*timers);
        EXPECT_EQ(h.devices.openCount(), 3 + 1 + 5);
    }
    auto timers = std::make_shared<ManualTimers>();
    {
        EngineHarness h({}, launchDetachedThread, timers);
        h.devices.failOpens(denied, false);
        h.create();
    }
    EXPECT_TRUE(timers->fire()) << "the pending try runs after the engine and does nothing";
    EXPECT_TRUE(timers->waiting.empty());
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

// Every request and log line of small update and compare-only runs, and how the update run ended.
// Only six status bytes with bState dfuIDLE let a run go on; bytes that did not arrive show as
// zeros.
TEST(UpdaterRun, SmallImagesOnTheWire) {
    using Unit = sim::SimulatedUnit&;
    const Bytes image130 = makeImage(130, "2.0.0+5"), image128 = makeImage(128, "2.0.0+5");
    const Bytes other130 = makeImage(130, "1.0.0+1", 7), other128 = makeImage(128, "1.0.0+1", 7);
    Bytes changed = image130;
    changed[100] ^= 1;
    const Bytes cut(image130.begin(), image130.begin() + 100), blank;
    // The 130-byte image written and its status asked, then a verification that passes.
    const std::string downloaded = download({64, 64, 2, 0}), written = downloaded + status(6, idle);
    const std::string verified = upload({64, 64, 2}) + restart();
    const std::string refused = "GetStatus unexpected result\n", differs = "Image differs\n";
    // The unit's bState, or none for a reply too short to hold it.
    const auto unexpectedStatus = [](std::optional<std::uint8_t> unitState) {
        return RunEnd{.phase = UpdateState::GetStatus,
                      .failure = RunFailure::unexpectedStatus,
                      .unitState = unitState};
    };
    const auto verifyFailed = [](std::uint16_t block) {
        return RunEnd{
            .phase = UpdateState::Verify, .failure = RunFailure::verifyFailed, .block = block};
    };
    const struct {
        const char* what;
        const Bytes &image, &held;  // the run's image, what the unit holds
        std::string transcript;
        std::string check;  // the compare-only run's, where it tells something
        RunEnd end = updated;
        std::string_view status = "";  // the unit's status reply, when not its own
        void (*misbehave)(Unit) = [](Unit) {};
    } runs[] = {
        {"130 bytes over another image", image130, other130, upload({64}) + written + verified,
         upload({64}) + differs},
        {"already there", image130, image130, verified, upload({64, 64, 2}) + "Image matches\n"},
        {"128 bytes over another image", image128, other128,
         upload({64}) + download({64, 64, 0}) + status(6, idle) + upload({64, 64, 0}) + restart(),
         ""},
        {"128 bytes there: the empty block ends it", image128, image128,
         upload({64, 64, 0}) + restart(), ""},
        {"a blank unit is written", image130, blank, upload({0}) + written + verified,
         upload({0}) + differs},
        {"a later block differs: all is written", image130, changed,
         upload({64, 64}) + written + verified, upload({64, 64}) + differs},
        {"stored data that ends early", image130, cut, upload({64, 36}) + written + verified,
         upload({64, 36}) + differs},
        {"a unit that returns more than the image", image130, image130,
         upload({64, 64, 12}) + written + upload({64, 64, 12}) + "Update Failed\n",
         upload({64, 64, 12}) + differs, verifyFailed(2), ""sv,
         [](Unit u) { u.setExtraReadBackBytes(10); }},
        {"a corrupt block in the verification", image130, other130,
         upload({64}) + written + upload({64, 64}) + "Update Failed\n", "", verifyFailed(1), ""sv,
         [](Unit u) { u.corruptBlock(1); }},
        {"a status of dfuERROR", image130, other130,
         upload({64}) + downloaded + status(6, "0x0f 0x00 0x00 0x00 0x0a 0x00\n") + refused, "",
         unexpectedStatus(0x0a), "\x0F\0\0\0\x0A\0"sv},
        {"a status of three bytes", image130, other130,
         upload({64}) + downloaded + status(3, "0x01 0x02 0x03 0x00 0x00 0x00\n") + refused, "",
         unexpectedStatus(std::nullopt), "\x01\x02\x03"sv},
        {"a status of five bytes, though dfuIDLE", image130, other130,
         upload({64}) + downloaded + status(5, idle) + refused, "", unexpectedStatus(std::nullopt),
         "\0\0\0\0\x02"sv},
        {"an error status in dfuIDLE goes on", image130, other130,
         upload({64}) + downloaded + status(6, "0x0e 0x10 0x00 0x00 0x02 0x00\n") + verified, "",
         updated, "\x0E\x10\0\0\x02\0"sv},
    };
    for (const auto& run : runs) {
        for (const bool check : {false, true}) {
            if (check && run.check.empty()) {
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
            ASSERT_TRUE(h.lastRunEnd());
            EXPECT_EQ(test::describe(*h.lastRunEnd()), test::describe(run.end));
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
// run ends there with its line and its end, and only once the restart has been sent does it
// count as a success.
TEST(UpdaterFailure, RunEndsAtEveryRequest) {
    enum Mode { noWorker, fails, removed };
    // How each mode ends the run short of the restart; a removal is found by the request due next.
    const struct {
        RunFailure failure;
        const char* line;
    } ends[] = {
        {RunFailure::workerNotStarted, "Could not start a worker thread\n"},
        {RunFailure::transferFailed, "AsyncRequestCallback Error\n"},
        {RunFailure::unreachable, "Device disconnected!\n"},
    };
    for (std::size_t k = 0; k < std::size(smallRun); ++k) {
        for (Mode mode : {noWorker, fails, removed}) {
            SCOPED_TRACE(testing::Message() << "request " << k << ", mode " << mode);
            auto launches = std::make_shared<std::size_t>(0);
            SmallRun r([launches, fail = mode == noWorker ? k : SIZE_MAX](auto work) {
                return (*launches)++ != fail && launchDetachedThread(std::move(work));
            });
            Lines expected = linesBefore(k);
            const std::size_t endsAt = mode == removed ? k + 1 : k;
            const bool restarted = k == restartRequest && mode != noWorker;
            const RunEnd end = restarted ? updated
                                         : RunEnd{.phase = smallRun[endsAt].phase,
                                                  .failure = ends[mode].failure,
                                                  .block = smallRun[endsAt].block};
            if (mode == removed) {
                r.window.onActionClicked();
                for (std::size_t i = 0; i < k; ++i) {
                    ASSERT_TRUE(r.deliverOne());
                }
                ASSERT_TRUE(r.deliverOne([&r] {
                    r.unit->detach();
                    r.window.onDeviceRemoval();
                }));
                ASSERT_TRUE(r.runToEnd());
                if (!smallRun[k].after.empty()) {
                    expected.push_back(smallRun[k].after);
                }
            } else {
                if (mode == fails) {
                    r.unit->addFault(Fault::fail, r.from + k);
                }
                ASSERT_TRUE(r.update());
            }
            if (mode != removed || !restarted) {  // a restart that completed ends with its line
                expected.push_back(ends[mode].line);
            }
            EXPECT_EQ(r.log.lines, expected);
            ASSERT_TRUE(r.lastRunEnd());
            EXPECT_EQ(test::describe(*r.lastRunEnd()), test::describe(end));
            EXPECT_EQ(r.window.messageText(), restarted ? "Success" : "Update Failed");
            EXPECT_EQ(r.sent(), mode == noWorker ? k : k + 1) << "nothing sent after the end";
            EXPECT_EQ(r.unit->image() == r.image, endsAt > emptyChunk)
                << "the image lands as the empty chunk completes";
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

// The program ends (engine and window destroyed) while a worker is still inside its transfer: the
// worker finishes it, posts its completion into the closed loop, and lets go of the unit.
TEST(UpdaterFailure, WorkerOutlivesTheEngineAndTheWindow) {
    auto r = std::make_unique<SmallRun>();
    const auto unit = r->unit;
    unit->addFault(Fault::hold, r->from);
    r->window.onActionClicked();
    ASSERT_TRUE(unit->waitUntilHeld(1, test::patience));
    r.reset();

    EXPECT_EQ(unit->openHandles(), 1u);
    unit->releaseHeld();
    for (auto waited = 0ms; unit->openHandles() != 0 && waited < test::patience; waited += 1ms) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(unit->openHandles(), 0u);
    const sim::WireRequest upload = unit->requests().back();
    EXPECT_TRUE(upload.succeeded);
    EXPECT_EQ(upload.data.size(), 64u);
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

// The progress range: a last part block counts whole, and an image of whole blocks has no block
// more (its read-back ends with an empty read, which is no block of the image).
TEST(UpdaterRun, BlockCountCountsAPartBlockWhole) {
    const struct {
        std::uint64_t size, blocks;
    } cases[] = {{0, 0}, {1, 1}, {64, 1}, {65, 2}, {128, 2}, {128000, 2000}, {169516, 2649}};
    for (const auto& c : cases) {
        const Bytes image(c.size, 0x5A);
        SmallRun r;
        r.updater.setFirmwareImage(image.data(), image.size());
        EXPECT_EQ(r.updater.getBlockCount(), c.blocks) << c.size;
    }
}

}  // namespace
}  // namespace tavik
