#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/FirmwareImage.hpp"
#include "support/RecordingView.hpp"
#include "ui/UpdaterWindow.hpp"

namespace tavik {
namespace {

using test::RecordingView;
using Strings = std::vector<std::string>;

constexpr const char* noUnitText = "No Tavik in update mode. Hold MON on IN 2 and power on device.";
constexpr int clientWidth = 485;  // odd on purpose: w / 2 drops the remainder (242)

// A created window over a recording view, and the session over it, with this object as their
// engine: getDeviceInfo answers as scripted; what the screen showed when the engine was called is
// kept.
struct Screen : UpdaterWindow::Client {
    explicit Screen(bool failCreation = false) {
        view.failCreation = failCreation;
        window.setClient(this);
        session.setClient(this);
        window.onCreate(clientWidth);
    }
    void connectDevice() override {
        ++connects;
        statusAtConnect = window.statusText();
        registrationsAtConnect = view.registrations;
    }
    void disconnectDevice() override {}
    void getDeviceInfo(std::string& p, std::string& s, std::string& v, std::string& b) override {
        p = "Tavik 8", s = serial, v = version, b = build;
    }
    void setFirmwareImage(const std::uint8_t* data, std::uint64_t size) override {
        imageData = data;
        imageSize = size;
        statusWhenImageSet = window.statusText();
    }
    void startUpdate() override {}
    void onTransferComplete(bool, std::uint64_t) override {}
    std::uint64_t getBlockCount() override { return blockCount; }
    std::uint64_t getBlockNumber() override { return blockNumber; }

    std::string serial = "XX123", version = "2.2.6+579", build = "579";
    std::uint64_t blockCount = 5522, blockNumber = 0;
    const std::uint8_t* imageData = nullptr;
    std::uint64_t imageSize = 0;
    std::string statusAtConnect, statusWhenImageSet;
    int connects = 0, registrationsAtConnect = -1;
    RecordingView view;
    UpdaterWindow window{view};
    UpdaterSession session{window};  // the offer's choice, as in the programs
};

// "Loading..." and a hidden "OK" before the first connection, which follows the registration for
// arrivals; the Windows window's rectangles; a line's text ends at a NUL from a string descriptor.
TEST(UpdaterWindow, CreationAndWhereControlsAndLinesSit) {
    Screen s;
    EXPECT_EQ(s.connects, 1);
    EXPECT_EQ(s.statusAtConnect, "Loading...");
    EXPECT_EQ(s.registrationsAtConnect, 1);
    ASSERT_EQ(s.view.controls.size(), 1u);
    EXPECT_EQ(s.view.controls.front().caption, "OK");
    EXPECT_EQ(s.view.controls.front().controlId, idcOkButton);
    EXPECT_EQ(s.view.visibleControls(), Strings{});

    s.session.onDeviceConnected();
    s.view.invalidated.clear();
    s.window.setStatusText(std::string("Tav\0ik", 6));
    s.window.setMessageText("message");
    EXPECT_EQ(s.window.statusText(), "Tav");
    const Rect button{147, 50, 337, 80};
    EXPECT_EQ(s.view.record(s.window.okButton())->bounds, button);
    EXPECT_EQ(s.view.record(s.window.actionButton())->bounds, button);
    EXPECT_EQ(s.view.record(s.window.actionButton())->controlId, idcActionButton);
    EXPECT_EQ(s.view.record(s.window.progressBar())->bounds, (Rect{42, 50, 442, 80}));
    EXPECT_EQ(s.view.invalidated, (std::vector<Rect>{{15, 15, 485, 35}, {147, 85, 337, 105}}));
}

// The offer for each kind of unit: message, status line ("Device Connected: Tavik 8" and the
// suffix), the one button shown, and the image handed to the engine (0: none).
TEST(UpdaterWindow, EachOutcomeOfAPresentedUnit) {
    const std::string update = "Update Now", reinstall = "Reinstall Firmware";
    const auto shown = [](std::string serial, std::string version) {
        return " (Serial: " + serial + ", Firmware Version: " + version + ")";
    };
    const struct {
        std::string serial, version, build, message, status, visible;
        int imageId;
    } cases[] = {
        // XMOS wins over a short serial; too short a serial cannot be identified.
        {"AB", "XMOS", "", "Your device is already up-to-date.", " (Serial: AB)", "OK", 0},
        {"AB12", "2.2.7+611", "611", "Error Identifying Device", "", "OK", 0},
        {"", "", "", "Error Identifying Device", "", "OK", 0},
        {"XX123", "2.2.7+611", "611", "Up to date!", shown("XX123", "2.07"), reinstall, 103},
        {"XX123", "2.2.6+579", "579", "Update to 2.07", shown("XX123", "2.04"), update, 103},
        {"XXA23", "1.2.4+887", "887", "Update to 2.04", shown("XXA23", "2.02"), update, 104},
        {"XXA23", "1.2.4+930", "930", "Up to date!", shown("XXA23", "2.04"), reinstall, 104},
        {"X6A23", "1.2.0+887", "887", "Update to 2.01", shown("X6A23", "2.XX"), update, 105},
        // Only the exact texts are XMOS and the target; anything else is an older version.
        {"XX123", "xmos", "", "Update to 2.07", shown("XX123", "2.XX"), update, 103},
        {"XX123", "XMOS1", "", "Update to 2.07", shown("XX123", "2.XX"), update, 103},
        {"XX123", "2.2.7+6110", "6110", "Update to 2.07", shown("XX123", "2.XX"), update, 103},
        {"XX123", "", "", "Update to 2.07", shown("XX123", "2.XX"), update, 103},  // block 0 unread
    };
    Screen s;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.serial + " " + c.version);
        s.window.onDeviceDisconnected();
        s.imageData = nullptr;
        s.imageSize = 0;
        s.serial = c.serial;
        s.version = c.version;
        s.build = c.build;
        s.session.onDeviceConnected();
        EXPECT_EQ(s.window.messageText(), c.message);
        EXPECT_EQ(s.window.statusText(), "Device Connected: Tavik 8" + c.status);
        EXPECT_EQ(s.view.visibleControls(), Strings{c.visible});
        EXPECT_FALSE(s.window.finished());
        EXPECT_EQ(s.window.actionButton() == nullptr, c.imageId == 0);
        const FirmwareImage image = loadFirmwareImage(c.imageId);
        EXPECT_EQ(s.imageData, image.data);
        EXPECT_EQ(s.imageSize, image.size);
        // The image reaches the engine before the status line names the unit.
        EXPECT_FALSE(s.statusWhenImageSet.starts_with("Device Connected"));
    }
    EXPECT_EQ(s.view.callsOnDestroyedControls, 0);
}

// After each event: the status line (S: the unit's, N: the no-unit text), message and controls.
TEST(UpdaterWindow, RunsAndDisconnectionsAsTheUserSeesThem) {
    using W = UpdaterWindow;
    constexpr std::int32_t present = -1, disconnect = -2;
    const struct {
        std::int32_t event;
        char status;
        const char* message;
        Strings visible;
    } steps[] = {
        {present, 'S', "Update to 2.07", {"Update Now"}},
        {W::runStarted, 'S', "Updating...", {"<progress>"}},
        {W::runProgress, 'S', "Updating...", {"<progress>"}},
        {W::runSucceeded, 'S', "Success", {"OK"}},
        {disconnect, 'N', "Success", {"OK"}},  // the unit restarts: the end of the run stays
        {disconnect, 'N', "Success", {"OK"}},
        {present, 'S', "Update to 2.07", {"Update Now"}},  // until a unit comes
        {W::runStarted, 'S', "Updating...", {"<progress>"}},
        {W::runFailed, 'S', "Update Failed", {"OK"}},
        {disconnect, 'N', "Update Failed", {"OK"}},
        {present, 'S', "Update to 2.07", {"Update Now"}},
        {disconnect, 'N', "", {}},
    };
    Screen s;
    for (const auto& step : steps) {
        SCOPED_TRACE(testing::Message() << "step " << &step - steps);
        if (step.event == present) {
            s.session.onDeviceConnected();
        } else if (step.event == disconnect) {
            s.window.onDeviceDisconnected();
        } else {
            s.window.onUpdateState(step.event);
        }
        EXPECT_EQ(s.window.statusText(),
                  step.status == 'N'
                      ? noUnitText
                      : "Device Connected: Tavik 8 (Serial: XX123, Firmware Version: 2.04)");
        EXPECT_EQ(s.window.messageText(), step.message);
        EXPECT_EQ(s.view.visibleControls(), step.visible);
        if (step.status == 'N') {
            // Gone with the unit: no action button or bar is left behind, hidden or not.
            EXPECT_EQ(s.window.actionButton(), nullptr);
            EXPECT_EQ(s.window.progressBar(), nullptr);
        }
    }
    EXPECT_EQ(s.view.callsOnDestroyedControls, 0);
}

TEST(UpdaterWindow, ProgressRangeAndPositionFollowTheEngine) {
    Screen s;
    s.session.onDeviceConnected();
    const auto* action = s.view.record(s.window.actionButton());
    const auto* bar = s.view.record(s.window.progressBar());
    s.blockCount = 65536 + 5522;  // only the low 16 bits fit the range
    s.window.onUpdateState(UpdaterWindow::runStarted);
    EXPECT_EQ(bar->rangeMaximum, 5522);
    EXPECT_EQ(bar->position, std::nullopt);  // the start leaves the position alone
    EXPECT_FALSE(action->destroyed);         // hidden, not destroyed
    for (std::uint64_t block : {1u, 2u, 5523u}) {
        s.blockNumber = block;
        s.window.onUpdateState(UpdaterWindow::runProgress);
    }
    for (std::int32_t unknown : {-1, 4, 99}) {
        s.window.onUpdateState(unknown);
    }
    EXPECT_EQ(s.view.positions, (std::vector<std::uint16_t>{1, 2, 5523}));
    EXPECT_EQ(s.window.messageText(), "Updating...");
    EXPECT_EQ(s.view.visibleControls(), Strings{"<progress>"});
    EXPECT_FALSE(s.window.finished());
}

TEST(UpdaterWindow, FailedControlCreationIsToleratedEverywhere) {
    Screen s(true);
    s.session.onDeviceConnected();
    EXPECT_EQ(s.window.okButton(), nullptr);
    EXPECT_EQ(s.window.actionButton(), nullptr);
    EXPECT_EQ(s.window.progressBar(), nullptr);
    for (std::int32_t code : {0, 2, 1, 3}) {
        s.window.onUpdateState(code);
    }
    s.window.onDeviceDisconnected();
    EXPECT_EQ(s.window.messageText(), "Update Failed");
    EXPECT_TRUE(s.view.controls.empty());
}

}  // namespace
}  // namespace tavik
