// The engine with the window and the simulated unit: finding and identifying a unit, whole update
// runs as the unit sees them, and runs that end early: failed transfers, removal, odd status
// replies, workers that outlive what started them, and workers that cannot start.
#include <gtest/gtest.h>

// Unit configurations are designated initializers that leave the other fields at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "firmware/FirmwareImage.hpp"
#include "support/EngineHarness.hpp"
#include "support/TestImages.hpp"

namespace tavik {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;
using sim::Fault;
using sim::RequestKind;
using test::EngineHarness;
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

TEST(UpdaterConnect, FailuresEndInTheNoUnitStateWithTheirLine) {
    const struct {
        std::uint16_t vendorId;
        std::uint32_t descriptorLength;
        HResult openFailure;  // hrOk: the unit opens
        const char* line;
    } cases[] = {
        {0x07FD, 18, hrNotFound, "Device not connected or driver not installed\n"},
        {0x07FD, 18, hrAccessDenied, "Failed looking for device, HRESULT 0x80070005\n"},
        {0x07FD, 18, hrInsufficientBuffer, "Failed looking for device, HRESULT 0x8007007a\n"},
        {0x07FD, 17, hrOk, "Error getting descriptor\n"},
        {0x07FE, 18, hrOk, ""},  // another vendor's unit
    };
    // Where the platform names a remedy for access denied, that failure alone shows it.
    const std::string remedy = "No access: install the udev rule.";
    for (const auto& c : cases) {
        for (const bool withRemedy : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.vendorId << " " << c.openFailure << " " << c.line
                                            << " remedy " << withRemedy);
            EngineHarness h({.vendorId = c.vendorId, .deviceDescriptorLength = c.descriptorLength});
            if (failed(c.openFailure)) {
                h.devices.failOpens(c.openFailure, c.openFailure == hrNotFound);
            }
            h.window.setAccessDeniedText(withRemedy ? remedy : "");
            h.create();
            EXPECT_EQ(h.log.lines, *c.line != 0 ? Lines{c.line} : Lines{});
            EXPECT_EQ(h.window.messageText(),
                      withRemedy && c.openFailure == hrAccessDenied ? remedy : "");
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

// Every request of small runs, with the log lines between them (see test::describe).
TEST(UpdaterRun, SmallImagesOnTheWire) {
    const Bytes image130 = makeImage(130, "2.0.0+5"), image128 = makeImage(128, "2.0.0+5");
    const Bytes other130 = makeImage(130, "1.0.0+1", 7), other128 = makeImage(128, "1.0.0+1", 7);
    Bytes changed = image130;
    changed[100] ^= 1;
    const Bytes cut(image130.begin(), image130.begin() + 100), blank;
    const std::string w = "D0[64] D1[64] D2[2] D3[0] About to get status\nS>6 " + idle;
    const std::string reboot = "About to reboot to app\nR Rebooted\n";
    const std::string v = "U0>64 U1>64 U2>2 " + reboot;  // a verification that passes
    const struct {
        const char* what;
        const Bytes& image;
        const Bytes& held;  // what the unit holds
        std::size_t extraBytes;
        int corruptBlock;  // -1: none
        std::string transcript;
    } runs[] = {
        {"130 bytes over another image", image130, other130, 0, -1, "U0>64 " + w + v},
        {"130 bytes already there", image130, image130, 0, -1, v},
        {"128 bytes over another image", image128, other128, 0, -1,
         "U0>64 D0[64] D1[64] D2[0] About to get status\nS>6 " + idle + "U0>64 U1>64 U2>0 " +
             reboot},
        {"128 bytes already there: the empty block ends it", image128, image128, 0, -1,
         "U0>64 U1>64 U2>0 " + reboot},
        {"a blank unit is written, not skipped", image130, blank, 0, -1, "U0>0 " + w + v},
        {"a later block differs: all is written", image130, changed, 0, -1, "U0>64 U1>64 " + w + v},
        {"stored data that ends early is no match", image130, cut, 0, -1, "U0>64 U1>36 " + w + v},
        {"a unit that returns more than the image", image130, image130, 10, -1,
         "U0>64 U1>64 U2>12 " + w + "U0>64 U1>64 U2>12 Update Failed\n"},
        {"a corrupt block in the verification", image130, other130, 0, 1,
         "U0>64 " + w + "U0>64 U1>64 Update Failed\n"},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.what);
        EngineHarness h({.image = run.held});
        h.unit->setExtraReadBackBytes(run.extraBytes);
        if (run.corruptBlock >= 0) {
            h.unit->corruptBlock(static_cast<std::uint16_t>(run.corruptBlock));
        }
        h.create();
        ASSERT_TRUE(h.updater.deviceOpen());
        h.useImage(run.image);

        ASSERT_TRUE(h.update());
        EXPECT_EQ(h.transcript(), run.transcript);
        const bool succeeded = h.lastLine() == "Rebooted\n";
        EXPECT_EQ(h.window.messageText(), succeeded ? "Success" : "Update Failed");
        EXPECT_EQ(h.unit->image(), run.image) << "the unit ends up holding the image";
        EXPECT_EQ(h.unit->runningApplication(), succeeded);
        if (&run == &runs[0]) {
            // After the k-th request of a phase the bar shows k; the status and the restart show
            // what the phase before them left.
            EXPECT_EQ(h.view.positions, (std::vector<std::uint16_t>{1, 1, 2, 3, 4, 4, 1, 2, 3, 3}));
            EXPECT_EQ(h.view.record(h.window.progressBar())->rangeMaximum, 3);
        }
    }
}

// A compare-only run reads back what the unit holds and writes nothing, whatever it finds: no
// download, no status, no restart, the stored image untouched.
TEST(UpdaterCheck, ReadsBackAndWritesNothing) {
    const Bytes image = makeImage(130, "2.0.0+5"), other = makeImage(130, "1.0.0+1", 7);
    Bytes changed = image;
    changed[100] ^= 1;
    const Bytes cut(image.begin(), image.begin() + 100), blank;
    const struct {
        const char* what;
        const Bytes& held;
        std::size_t extraBytes;
        int failAt;  // -1: no fault
        const char* transcript;
    } checks[] = {
        {"the image itself", image, 0, -1, "U0>64 U1>64 U2>2 Image matches\n"},
        {"another image", other, 0, -1, "U0>64 Image differs\n"},
        {"a later block differs", changed, 0, -1, "U0>64 U1>64 Image differs\n"},
        {"stored data that ends early", cut, 0, -1, "U0>64 U1>36 Image differs\n"},
        {"a blank unit", blank, 0, -1, "U0>0 Image differs\n"},
        {"more than the image", image, 10, -1, "U0>64 U1>64 U2>12 Image differs\n"},
        {"a read that fails", image, 0, 1, "U0>64 U1! AsyncRequestCallback Error\n"},
    };
    for (const auto& c : checks) {
        SCOPED_TRACE(c.what);
        EngineHarness h({.image = c.held});
        h.unit->setExtraReadBackBytes(c.extraBytes);
        h.create();
        h.useImage(image);
        if (c.failAt >= 0) {
            h.unit->addFault(Fault::fail, h.from + static_cast<std::size_t>(c.failAt));
        }
        h.updater.startCheck();
        ASSERT_TRUE(h.runToEnd());
        EXPECT_EQ(h.transcript(), c.transcript);
        EXPECT_EQ(h.unit->image(), c.held);
        EXPECT_FALSE(h.unit->runningApplication());
        // The image stays set: an update may follow the check.
        h.updater.startUpdate();
        EXPECT_EQ(h.updater.state(), UpdateState::CompareExisting);
        ASSERT_TRUE(h.runToEnd());
    }
}

// The three shipped images, each over another kind of stored data; the window chooses the image
// from the serial. Counts per kind, the first and last requests, and the turn to the verification.
TEST(UpdaterRun, ShippedImages) {
    const struct {
        int id;
        const char16_t* serial;
        int heldId;  // 0: a blank unit
    } shipped[] = {{103, u"T1X00001", 105}, {104, u"T1A00001", 104}, {105, u"T6X00001", 0}};
    for (const auto& s : shipped) {
        SCOPED_TRACE(s.id);
        const Bytes image = test::bytesOf(loadFirmwareImage(s.id));
        const Bytes held = s.heldId == 0 ? Bytes{} : test::bytesOf(loadFirmwareImage(s.heldId));
        const std::uint64_t blocks = (image.size() + 63) / 64;
        const std::string last = std::to_string(blocks - 1);
        const std::string lastSize = std::to_string(image.size() - 64 * (blocks - 1));
        EngineHarness h({.serial = s.serial, .image = held});
        h.create();
        ASSERT_EQ(h.updater.getBlockCount(), blocks) << "the window chose the image";
        h.useImage(image);
        ASSERT_TRUE(h.update());

        using Counts = std::map<RequestKind, std::uint64_t>;
        Counts counts;
        const std::vector<sim::WireRequest> wire = h.unit->requests();
        for (std::size_t i = h.from; i < wire.size(); ++i) {
            EXPECT_TRUE(wire[i].succeeded);
            ++counts[wire[i].kind];
        }
        const std::string t = h.transcript();
        EXPECT_TRUE(
            t.ends_with("U" + last + ">" + lastSize + " About to reboot to app\nR Rebooted\n"));
        if (s.heldId == s.id) {
            EXPECT_EQ(counts,
                      (Counts{{RequestKind::upload, blocks}, {RequestKind::rebootToApp, 1}}));
            EXPECT_TRUE(t.starts_with("U0>64 U1>64 "));
            EXPECT_EQ(h.log.lines, (Lines{"About to reboot to app\n", "Rebooted\n"}));
        } else {
            EXPECT_EQ(counts, (Counts{{RequestKind::upload, 1 + blocks},
                                      {RequestKind::download, blocks + 1},
                                      {RequestKind::getStatus, 1},
                                      {RequestKind::rebootToApp, 1}}));
            EXPECT_TRUE(t.starts_with(held.empty() ? "U0>0 D0[64] " : "U0>64 D0[64] "));
            EXPECT_NE(t.find("D" + last + "[" + lastSize + "] D" + std::to_string(blocks) +
                             "[0] About to get status\nS>6 " + idle + "U0>64 "),
                      t.npos);
            EXPECT_EQ(h.log.lines, (Lines{"About to get status\n", idle, "About to reboot to app\n",
                                          "Rebooted\n"}));
        }
        EXPECT_EQ(h.window.messageText(), "Success");
        EXPECT_TRUE(h.unit->image() == image);
        EXPECT_TRUE(h.unit->runningApplication());

        // The restarted unit leaves the bus; the end of the run stays on screen.
        h.window.onDeviceRemoval();
        EXPECT_EQ(h.window.messageText(), "Success");
        EXPECT_EQ(h.unit->openHandles(), 0u);
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
