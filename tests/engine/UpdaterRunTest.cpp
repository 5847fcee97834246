#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "firmware/FirmwareImage.hpp"
#include "support/EngineHarness.hpp"
#include "support/TestImages.hpp"

namespace tavik {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;
using sim::RequestKind;
using test::EngineHarness;
using test::makeImage;

const std::string statusIdle = "0x00 0x00 0x00 0x00 0x02 0x00\n";

// The run of an image of 130 bytes, after the compare phase has found a difference.
Lines writeAndVerify130() {
    return {"DFU_DNLOAD 0 [64]",     "DFU_DNLOAD 1 [64]",  "DFU_DNLOAD 2 [2]", "DFU_DNLOAD 3 [0]",
            "About to get status\n", "DFU_GETSTATUS -> 6", statusIdle,         "DFU_UPLOAD 0 -> 64",
            "DFU_UPLOAD 1 -> 64",    "DFU_UPLOAD 2 -> 2"};
}

Lines concat(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Lines rebootLines = {"About to reboot to app\n", "REBOOT_TO_APP", "Rebooted\n"};

struct SmallRun {
    const char* what;
    std::size_t imageSize;
    // What the unit holds, given the image to be written.
    std::function<Bytes(const Bytes&)> held;
    std::function<void(sim::SimulatedUnit&)> misbehave;
    Lines expected;  // requests and log lines from the click on
    const char* message;
};

TEST(UpdaterRun, SmallImagesOnTheWire) {
    const auto other = [](const Bytes& image) { return makeImage(image.size(), "1.0.0+1", 7); };
    const auto same = [](const Bytes& image) { return image; };
    const auto none = [](sim::SimulatedUnit&) {};
    const SmallRun runs[] = {
        {"130 bytes over another image", 130, other, none,
         concat(concat({"DFU_UPLOAD 0 -> 64"}, writeAndVerify130()), rebootLines), "Success"},
        {"130 bytes already there", 130, same, none,
         concat({"DFU_UPLOAD 0 -> 64", "DFU_UPLOAD 1 -> 64", "DFU_UPLOAD 2 -> 2"}, rebootLines),
         "Success"},
        {"128 bytes over another image", 128, other, none,
         concat({"DFU_UPLOAD 0 -> 64", "DFU_DNLOAD 0 [64]", "DFU_DNLOAD 1 [64]", "DFU_DNLOAD 2 [0]",
                 "About to get status\n", "DFU_GETSTATUS -> 6", statusIdle, "DFU_UPLOAD 0 -> 64",
                 "DFU_UPLOAD 1 -> 64", "DFU_UPLOAD 2 -> 0"},
                rebootLines),
         "Success"},
        {"128 bytes already there: the empty block ends the match", 128, same, none,
         concat({"DFU_UPLOAD 0 -> 64", "DFU_UPLOAD 1 -> 64", "DFU_UPLOAD 2 -> 0"}, rebootLines),
         "Success"},
        {"a blank unit is written, not skipped", 130, [](const Bytes&) { return Bytes{}; }, none,
         concat(concat({"DFU_UPLOAD 0 -> 0"}, writeAndVerify130()), rebootLines), "Success"},
        {"a difference in a later block restarts from block 0", 130,
         [](const Bytes& image) {
             Bytes held = image;
             held[100] ^= 1;
             return held;
         },
         none,
         concat(concat({"DFU_UPLOAD 0 -> 64", "DFU_UPLOAD 1 -> 64"}, writeAndVerify130()),
                rebootLines),
         "Success"},
        {"stored data that ends early is no match", 130,
         [](const Bytes& image) { return Bytes(image.begin(), image.begin() + 100); }, none,
         concat(concat({"DFU_UPLOAD 0 -> 64", "DFU_UPLOAD 1 -> 36"}, writeAndVerify130()),
                rebootLines),
         "Success"},
        {"a unit that returns more than the image",
         130,
         same,
         [](sim::SimulatedUnit& unit) { unit.setExtraReadBackBytes(10); },
         {"DFU_UPLOAD 0 -> 64", "DFU_UPLOAD 1 -> 64", "DFU_UPLOAD 2 -> 12", "DFU_DNLOAD 0 [64]",
          "DFU_DNLOAD 1 [64]", "DFU_DNLOAD 2 [2]", "DFU_DNLOAD 3 [0]", "About to get status\n",
          "DFU_GETSTATUS -> 6", statusIdle, "DFU_UPLOAD 0 -> 64", "DFU_UPLOAD 1 -> 64",
          "DFU_UPLOAD 2 -> 12", "Update Failed\n"},
         "Update Failed"},
        {"a corrupt block in the verification",
         130,
         other,
         [](sim::SimulatedUnit& unit) { unit.corruptBlock(1); },
         {"DFU_UPLOAD 0 -> 64", "DFU_DNLOAD 0 [64]", "DFU_DNLOAD 1 [64]", "DFU_DNLOAD 2 [2]",
          "DFU_DNLOAD 3 [0]", "About to get status\n", "DFU_GETSTATUS -> 6", statusIdle,
          "DFU_UPLOAD 0 -> 64", "DFU_UPLOAD 1 -> 64", "Update Failed\n"},
         "Update Failed"},
    };
    for (const SmallRun& run : runs) {
        SCOPED_TRACE(run.what);
        const Bytes image = makeImage(run.imageSize, "2.0.0+5");
        sim::UnitConfig config;
        config.image = run.held(image);
        EngineHarness h(config);
        run.misbehave(*h.unit);
        h.create();
        ASSERT_TRUE(h.updater.deviceOpen());
        h.updater.setFirmwareImage(image.data(), image.size());
        const std::size_t from = h.unit->requestCount();

        ASSERT_TRUE(h.update());
        EXPECT_EQ(h.transcriptFrom(from), run.expected);
        EXPECT_EQ(h.window.messageText(), run.message);
        EXPECT_EQ(h.unit->image(), image) << "the unit ends up holding the image";
        EXPECT_EQ(h.unit->runningApplication(), std::string(run.message) == "Success");
    }
}

TEST(UpdaterRun, RequestsCarryTheirWireFormatAndProgress) {
    const Bytes image = makeImage(130, "2.0.0+5");
    sim::UnitConfig config;
    config.image = makeImage(130, "1.0.0+1", 7);
    EngineHarness h(config);
    h.create();
    h.updater.setFirmwareImage(image.data(), image.size());
    const std::size_t from = h.unit->requestCount();
    ASSERT_TRUE(h.update());

    using Setup = std::array<std::uint8_t, 8>;
    const std::vector<Setup> expected = {
        {0xA1, 0x02, 0, 0, 0, 0, 0x40, 0},     // DFU_UPLOAD 0
        {0x21, 0x01, 0, 0, 0, 0, 0x40, 0},     // DFU_DNLOAD 0, 64 bytes
        {0x21, 0x01, 1, 0, 0, 0, 0x40, 0},     // DFU_DNLOAD 1, 64 bytes
        {0x21, 0x01, 2, 0, 0, 0, 0x02, 0},     // DFU_DNLOAD 2, 2 bytes
        {0x21, 0x01, 3, 0, 0, 0, 0x00, 0},     // DFU_DNLOAD 3, empty: end of download
        {0xA1, 0x03, 0, 0, 0, 0, 0x06, 0},     // DFU_GETSTATUS
        {0xA1, 0x02, 0, 0, 0, 0, 0x40, 0},     // DFU_UPLOAD 0
        {0xA1, 0x02, 1, 0, 0, 0, 0x40, 0},     // DFU_UPLOAD 1
        {0xA1, 0x02, 2, 0, 0, 0, 0x40, 0},     // DFU_UPLOAD 2
        {0x21, 0xF0, 0, 0, 0, 0, 0x00, 0x00},  // REBOOT_TO_APP
    };
    const auto wire = h.unit->requests();
    ASSERT_EQ(wire.size() - from, expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(wire[from + i].setup, expected[i]) << "request " << i;
    }
    for (std::size_t block = 0; block < 3; ++block) {
        const std::size_t end = std::min<std::size_t>(image.size(), 64 * block + 64);
        EXPECT_EQ(wire[from + 1 + block].data,
                  Bytes(image.begin() + 64 * block, image.begin() + end));
    }
    EXPECT_TRUE(wire[from + 4].data.empty());
    EXPECT_TRUE(wire[from + 9].data.empty());

    // After the k-th request of a phase the bar shows k; the status and the restart show what
    // the phase before them left.
    EXPECT_EQ(h.view.positions, (std::vector<std::uint16_t>{1, 1, 2, 3, 4, 4, 1, 2, 3, 3}));
    ASSERT_NE(h.window.progressBar(), nullptr);
    EXPECT_EQ(h.view.record(h.window.progressBar())->rangeMaximum, 3);
}

TEST(UpdaterRun, ShippedImagesOnEveryKindOfUnit) {
    struct Shipped {
        int resourceId;
        const char* serial;  // selects the image
        int otherId;         // an image the unit might hold instead
    };
    const Shipped shipped[] = {
        {103, "T1X00001", 105}, {104, "T1A00001", 103}, {105, "T6X00001", 104}};
    enum class Holds { another, same, nothing };
    for (const Shipped& s : shipped) {
        const Bytes image = test::bytesOf(loadFirmwareImage(s.resourceId));
        const std::uint64_t blocks = (image.size() + 63) / 64;
        for (Holds holds : {Holds::another, Holds::same, Holds::nothing}) {
            SCOPED_TRACE(testing::Message()
                         << s.resourceId << " holds " << static_cast<int>(holds));
            sim::UnitConfig config;
            config.serial = std::u16string(s.serial, s.serial + 8);
            config.image = holds == Holds::same      ? image
                           : holds == Holds::another ? test::bytesOf(loadFirmwareImage(s.otherId))
                                                     : Bytes{};
            EngineHarness h(config);
            h.create();
            ASSERT_EQ(h.updater.getBlockCount(), blocks) << "the window chose the image";
            const std::size_t from = h.unit->requestCount();
            h.log.clear();

            ASSERT_TRUE(h.update());
            std::map<RequestKind, std::uint64_t> counts;
            const auto wire = h.unit->requests();
            for (std::size_t i = from; i < wire.size(); ++i) {
                EXPECT_TRUE(wire[i].succeeded);
                ++counts[wire[i].kind];
            }
            if (holds == Holds::same) {
                EXPECT_EQ(counts,
                          (std::map<RequestKind, std::uint64_t>{{RequestKind::upload, blocks},
                                                                {RequestKind::rebootToApp, 1}}));
                EXPECT_EQ(h.log.lines(), (Lines{"About to reboot to app\n", "Rebooted\n"}));
            } else {
                EXPECT_EQ(counts,
                          (std::map<RequestKind, std::uint64_t>{{RequestKind::upload, 1 + blocks},
                                                                {RequestKind::download, blocks + 1},
                                                                {RequestKind::getStatus, 1},
                                                                {RequestKind::rebootToApp, 1}}));
                EXPECT_EQ(h.log.lines(), (Lines{"About to get status\n", statusIdle,
                                                "About to reboot to app\n", "Rebooted\n"}));
            }
            EXPECT_EQ(h.window.messageText(), "Success");
            EXPECT_TRUE(h.unit->image() == image);
            EXPECT_TRUE(h.unit->runningApplication());

            // The restarted unit leaves the bus; the end of the run stays on screen.
            h.window.onDeviceRemoval();
            EXPECT_EQ(h.window.messageText(), "Success");
            EXPECT_FALSE(h.updater.deviceOpen());
            EXPECT_EQ(h.unit->openHandles(), 0u);
        }
    }
}

TEST(UpdaterRun, StartIsRefusedWithoutAnImageOrDuringARun) {
    const Bytes image = makeImage(130, "2.0.0+5");
    EngineHarness h;
    h.create();

    h.updater.setFirmwareImage(nullptr, 0);
    const std::size_t before = h.unit->requestCount();
    h.log.clear();
    h.updater.startUpdate();
    EXPECT_EQ(h.log.lines(), Lines{"Firmware Update In Progress\n"});
    EXPECT_EQ(h.updater.state(), UpdateState::Idle);
    EXPECT_EQ(h.unit->requestCount(), before);

    h.updater.setFirmwareImage(image.data(), image.size());
    h.window.onActionClicked();
    ASSERT_EQ(h.updater.state(), UpdateState::CompareExisting);
    h.log.clear();
    h.window.onActionClicked();
    EXPECT_EQ(h.log.lines(), Lines{"Firmware Update In Progress\n"});
    ASSERT_TRUE(h.runToEnd());
    EXPECT_EQ(h.window.messageText(), "Success");
    EXPECT_EQ(h.unit->requestCount() - before, 10u) << "the refused click changed nothing";

    // A run that restarted the unit has used up its image.
    h.log.clear();
    h.updater.startUpdate();
    EXPECT_EQ(h.log.lines(), Lines{"Firmware Update In Progress\n"});
}

}  // namespace
}  // namespace tavik
