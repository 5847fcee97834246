#include <gtest/gtest.h>

#include <functional>
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

// The engine as the window sees it, scripted: what getDeviceInfo answers, the block counters,
// and a journal of every call.
class FakeClient : public UpdaterWindow::Client {
  public:
    void connectDevice() override {
        calls.push_back("connectDevice");
        if (onConnect) {
            onConnect();
        }
    }
    void disconnectDevice() override { calls.push_back("disconnectDevice"); }
    void getDeviceInfo(std::string& p, std::string& s, std::string& v, std::string& b) override {
        calls.push_back("getDeviceInfo");
        p = product;
        s = serial;
        v = version;
        b = build;
    }
    void setFirmwareImage(const std::uint8_t* data, std::uint64_t size) override {
        calls.push_back("setFirmwareImage");
        imageData = data;
        imageSize = size;
        statusWhenImageSet = window ? window->statusText() : "";
    }
    void startUpdate() override { calls.push_back("startUpdate"); }
    void onTransferComplete(bool success, std::uint64_t bytes) override {
        calls.push_back("onTransferComplete(" + std::to_string(success) + "," +
                        std::to_string(bytes) + ")");
    }
    std::uint64_t getBlockCount() override { return blockCount; }
    std::uint64_t getBlockNumber() override { return blockNumber; }

    std::string product = "Tavik 8", serial = "XX123", version, build;
    std::uint64_t blockCount = 0, blockNumber = 0;
    const std::uint8_t* imageData = nullptr;
    std::uint64_t imageSize = 0;
    std::string statusWhenImageSet;
    Strings calls;
    std::function<void()> onConnect;
    const UpdaterWindow* window = nullptr;
};

constexpr int clientWidth = 485;  // odd on purpose: w / 2 drops the remainder (242)

struct WindowFixture : ::testing::Test {
    WindowFixture() {
        window.setClient(&client);
        client.window = &window;
        window.onCreate(clientWidth);
        client.calls.clear();
        view.invalidated.clear();
    }

    // Presents a unit whose getDeviceInfo gives these texts.
    void present(std::string serial, std::string version) {
        client.serial = std::move(serial);
        client.version = version;
        const auto plus = version.find('+');
        client.build = plus == std::string::npos ? "" : version.substr(plus + 1);
        window.onDeviceConnected();
    }

    RecordingView view;
    FakeClient client;
    UpdaterWindow window{view};
};

TEST(UpdaterWindowCreate, ShowsLoadingAddsHiddenOkThenRegistersAndConnects) {
    RecordingView view;
    FakeClient client;
    UpdaterWindow window(view);
    window.setClient(&client);
    // What the window had done by the time the engine was first asked to connect.
    std::string statusAtConnect;
    int registrationsAtConnect = -1;
    client.onConnect = [&] {
        statusAtConnect = window.statusText();
        registrationsAtConnect = view.registrations;
    };
    window.onCreate(clientWidth);

    EXPECT_EQ(statusAtConnect, "Loading...");
    EXPECT_EQ(registrationsAtConnect, 1);
    EXPECT_EQ(client.calls, Strings{"connectDevice"});
    ASSERT_EQ(view.controls.size(), 1u);
    const auto& ok = view.controls.front();
    EXPECT_EQ(ok.kind, RecordingView::Kind::Button);
    EXPECT_EQ(ok.controlId, idcOkButton);
    EXPECT_EQ(ok.caption, "OK");
    EXPECT_FALSE(ok.visible);
}

// Where the window puts its controls and lines: the rectangles the Windows window has, for a
// client width whose half drops a remainder.
TEST_F(WindowFixture, ControlsAndLinesSitWhereTheWindowsWindowHasThem) {
    present("XX123", "2.2.6+579");
    view.invalidated.clear();
    window.setStatusText("status");
    window.setMessageText("message");
    const Rect button{147, 50, 337, 80};
    EXPECT_EQ(view.record(window.okButton())->bounds, button);
    EXPECT_EQ(view.record(window.actionButton())->bounds, button);
    EXPECT_EQ(view.record(window.actionButton())->controlId, idcActionButton);
    EXPECT_EQ(view.record(window.progressBar())->bounds, (Rect{42, 50, 442, 80}));
    EXPECT_EQ(view.invalidated, (std::vector<Rect>{{15, 15, 485, 35}, {147, 85, 337, 105}}));
}

// The offer for each kind of unit: message, status line, the one button shown, and the image
// handed to the engine (0: none). The status line is "Device Connected: Tavik 8" and the suffix.
TEST_F(WindowFixture, EachOutcomeOfAPresentedUnit) {
    struct Case {
        std::string serial, version, message, status, visible;
        int imageId;
    };
    const std::string update = "Update Now", reinstall = "Reinstall Firmware";
    const std::string unknown = " (Serial: XX123, Firmware Version: 2.XX)";
    const Case cases[] = {
        // XMOS wins over a short serial; too short a serial cannot be identified.
        {"AB", "XMOS", "Your device is already up-to-date.", " (Serial: AB)", "OK", 0},
        {"AB12", "2.2.7+611", "Error Identifying Device", "", "OK", 0},
        {"", "", "Error Identifying Device", "", "OK", 0},
        {"XX123", "2.2.7+611", "Up to date!", " (Serial: XX123, Firmware Version: 2.07)", reinstall,
         103},
        {"XX123", "2.2.6+579", "Update to 2.07", " (Serial: XX123, Firmware Version: 2.04)", update,
         103},
        {"XXA23", "1.2.4+887", "Update to 2.04", " (Serial: XXA23, Firmware Version: 2.02)", update,
         104},
        {"XXA23", "1.2.4+930", "Up to date!", " (Serial: XXA23, Firmware Version: 2.04)", reinstall,
         104},
        {"X6A23", "1.2.0+887", "Update to 2.01", " (Serial: X6A23, Firmware Version: 2.XX)", update,
         105},
        // Only the exact texts are XMOS and the target; anything else is an older version.
        {"XX123", "xmos", "Update to 2.07", unknown, update, 103},
        {"XX123", "XMOS1", "Update to 2.07", unknown, update, 103},
        {"XX123", "2.2.7+6110", "Update to 2.07", unknown, update, 103},
        {"XX123", "", "Update to 2.07", unknown, update, 103},  // block 0 unreadable
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.serial + " " + c.version);
        window.onDeviceDisconnected();
        client.imageData = nullptr;
        client.imageSize = 0;
        present(c.serial, c.version);

        EXPECT_EQ(window.messageText(), c.message);
        EXPECT_EQ(window.statusText(), "Device Connected: Tavik 8" + c.status);
        EXPECT_EQ(view.visibleControls(), Strings{c.visible});
        EXPECT_FALSE(window.finished());
        // Exactly one progress bar, hidden.
        const auto* bar = view.record(window.progressBar());
        ASSERT_NE(bar, nullptr);
        EXPECT_EQ(bar->kind, RecordingView::Kind::ProgressBar);
        EXPECT_FALSE(bar->visible);
        EXPECT_EQ(window.actionButton() == nullptr, c.imageId == 0);
        const FirmwareImage image = loadFirmwareImage(c.imageId);
        EXPECT_EQ(client.imageData, image.data);
        EXPECT_EQ(client.imageSize, image.size);
        if (c.imageId != 0) {
            // The image reaches the engine before the status line names the unit.
            EXPECT_EQ(client.statusWhenImageSet.rfind("Device Connected", 0), std::string::npos);
        }
    }
    EXPECT_EQ(view.callsOnDestroyedControls, 0);
}

// What the user sees along the ways a run can go. Each step is an event and the screen after it:
// the status line (S: the unit's description, N: the no-unit text), the message line, and the
// visible controls.
TEST_F(WindowFixture, RunsAndDisconnectionsAsTheUserSeesThem) {
    enum Event { present, start, progress, succeeded, failed, disconnect };
    struct Step {
        Event event;
        char status;
        const char* message;
        Strings visible;
    };
    struct Sequence {
        const char* what;
        std::vector<Step> steps;
    };
    const Sequence sequences[] = {
        {"a run, the unit restarts, and a new unit clears the end of the run",
         {{present, 'S', "Update to 2.07", {"Update Now"}},
          {start, 'S', "Updating...", {"<progress>"}},
          {progress, 'S', "Updating...", {"<progress>"}},
          {succeeded, 'S', "Success", {"OK"}},
          {disconnect, 'N', "Success", {"OK"}},
          {disconnect, 'N', "Success", {"OK"}},
          {present, 'S', "Update to 2.07", {"Update Now"}},
          {disconnect, 'N', "", {}}}},
        {"a failed run",
         {{present, 'S', "Update to 2.07", {"Update Now"}},
          {start, 'S', "Updating...", {"<progress>"}},
          {failed, 'S', "Update Failed", {"OK"}},
          {disconnect, 'N', "Update Failed", {"OK"}}}},
        {"removed during a run that then succeeds",
         {{present, 'S', "Update to 2.07", {"Update Now"}},
          {start, 'S', "Updating...", {"<progress>"}},
          {disconnect, 'N', "", {}},
          {progress, 'N', "", {}},
          {succeeded, 'N', "Success", {"OK"}}}},
        {"removed during a run that then fails",
         {{present, 'S', "Update to 2.07", {"Update Now"}},
          {start, 'S', "Updating...", {"<progress>"}},
          {disconnect, 'N', "", {}},
          {failed, 'N', "Update Failed", {"OK"}}}},
    };
    const std::string described =
        "Device Connected: Tavik 8 (Serial: XX123, Firmware Version: 2.04)";
    for (const Sequence& sequence : sequences) {
        RecordingView view;
        FakeClient client;
        UpdaterWindow window(view);
        window.setClient(&client);
        window.onCreate(clientWidth);
        client.serial = "XX123";
        client.version = "2.2.6+579";
        client.build = "579";
        client.blockCount = 5522;
        for (std::size_t i = 0; i < sequence.steps.size(); ++i) {
            SCOPED_TRACE(std::string(sequence.what) + ", step " + std::to_string(i));
            const Step& step = sequence.steps[i];
            switch (step.event) {
                case present:
                    window.onDeviceConnected();
                    break;
                case start:
                    window.onUpdateState(UpdaterWindow::runStarted);
                    break;
                case progress:
                    ++client.blockNumber;
                    window.onUpdateState(UpdaterWindow::runProgress);
                    break;
                case succeeded:
                    window.onUpdateState(UpdaterWindow::runSucceeded);
                    break;
                case failed:
                    window.onUpdateState(UpdaterWindow::runFailed);
                    break;
                case disconnect:
                    window.onDeviceDisconnected();
                    break;
            }
            EXPECT_EQ(window.statusText(), step.status == 'S' ? described : noUnitText);
            EXPECT_EQ(window.messageText(), step.message);
            EXPECT_EQ(view.visibleControls(), step.visible);
            if (step.status == 'N') {
                // Gone with the unit: no action button or bar is left behind, hidden or not.
                EXPECT_EQ(window.actionButton(), nullptr);
                EXPECT_EQ(window.progressBar(), nullptr);
            }
        }
        EXPECT_EQ(view.callsOnDestroyedControls, 0) << sequence.what;
    }
}

TEST_F(WindowFixture, ProgressRangeAndPositionFollowTheEngine) {
    present("XX123", "2.2.6+579");
    const auto* action = view.record(window.actionButton());
    const auto* bar = view.record(window.progressBar());
    client.blockCount = 65536 + 5522;  // only the low 16 bits fit the range
    window.onUpdateState(UpdaterWindow::runStarted);
    EXPECT_EQ(bar->rangeMaximum, 5522);
    EXPECT_EQ(bar->position, std::nullopt);  // the start leaves the position alone
    EXPECT_FALSE(action->destroyed);         // hidden, not destroyed
    for (std::uint64_t block : {1u, 2u, 5523u}) {
        client.blockNumber = block;
        window.onUpdateState(UpdaterWindow::runProgress);
    }
    EXPECT_EQ(view.positions, (std::vector<std::uint16_t>{1, 2, 5523}));

    for (std::int32_t unknown : {-1, 4, 99}) {
        window.onUpdateState(unknown);
    }
    EXPECT_EQ(window.messageText(), "Updating...");
    EXPECT_EQ(view.visibleControls(), Strings{"<progress>"});
    EXPECT_EQ(view.positions.size(), 3u);
    EXPECT_FALSE(window.finished());
}

TEST(UpdaterWindowControls, FailedControlCreationIsToleratedEverywhere) {
    RecordingView view;
    view.failCreation = true;
    FakeClient client;
    UpdaterWindow window(view);
    window.setClient(&client);
    window.onCreate(clientWidth);
    client.serial = "XX123";
    client.version = "2.2.6+579";
    window.onDeviceConnected();
    EXPECT_EQ(window.okButton(), nullptr);
    EXPECT_EQ(window.actionButton(), nullptr);
    EXPECT_EQ(window.progressBar(), nullptr);
    for (std::int32_t code : {0, 2, 1, 3}) {
        window.onUpdateState(code);
    }
    window.onDeviceDisconnected();
    EXPECT_EQ(window.messageText(), "Update Failed");
    EXPECT_TRUE(view.controls.empty());
}

TEST_F(WindowFixture, TextsEndAtANulAndEventsReachTheEngine) {
    // A text is a C string: a NUL from a string descriptor ends it.
    window.setStatusText(std::string("Tav\0ik", 6));
    EXPECT_EQ(window.statusText(), "Tav");

    window.onActionClicked();
    window.onDeviceArrival();
    window.onDeviceRemoval();
    window.onTransferCompleted(true, 64);
    window.onTransferCompleted(false, 0);
    EXPECT_EQ(client.calls, (Strings{"startUpdate", "connectDevice", "disconnectDevice",
                                     "onTransferComplete(1,64)", "onTransferComplete(0,0)"}));

    client.calls.clear();
    window.onOkClicked();  // ends the loop only: the unit stays open, the window stays
    EXPECT_EQ(view.quits, 1);
    EXPECT_TRUE(client.calls.empty());
    EXPECT_FALSE(view.windowDestroyed);

    window.onClose();
    EXPECT_EQ(view.unregistrations, 1);
    EXPECT_EQ(client.calls, Strings{"disconnectDevice"});
    EXPECT_TRUE(view.windowDestroyed);
}

}  // namespace
}  // namespace tavik
