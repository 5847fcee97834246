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
    EXPECT_EQ(ok.controlId, 102);
    EXPECT_EQ(ok.caption, "OK");
    EXPECT_EQ(ok.bounds, (Rect{147, 50, 337, 80}));
    EXPECT_FALSE(ok.visible);
    EXPECT_EQ(window.clientWidth(), clientWidth);
}

TEST_F(WindowFixture, EachOutcomeOfAPresentedUnit) {
    struct Case {
        const char* what;
        std::string serial;
        std::string version;
        std::string message;
        std::string status;
        Strings visible;
        int imageId;  // 0: no image handed to the engine
    };
    const std::string connected = "Device Connected: Tavik 8";
    const Case cases[] = {
        {"XMOS wins over a short serial",
         "AB",
         "XMOS",
         "Your device is already up-to-date.",
         connected + " (Serial: AB)",
         {"OK"},
         0},
        {"four-character serial",
         "AB12",
         "2.2.7+611",
         "Error Identifying Device",
         connected,
         {"OK"},
         0},
        {"empty serial", "", "", "Error Identifying Device", connected, {"OK"}, 0},
        {"entry 3 up to date",
         "XX123",
         "2.2.7+611",
         "Up to date!",
         connected + " (Serial: XX123, Firmware Version: 2.07)",
         {"Reinstall Firmware"},
         103},
        {"entry 3 older",
         "XX123",
         "2.2.6+579",
         "Update to 2.07",
         connected + " (Serial: XX123, Firmware Version: 2.04)",
         {"Update Now"},
         103},
        {"entry 2 older",
         "XXA23",
         "1.2.4+887",
         "Update to 2.04",
         connected + " (Serial: XXA23, Firmware Version: 2.02)",
         {"Update Now"},
         104},
        {"entry 2 up to date",
         "XXA23",
         "1.2.4+930",
         "Up to date!",
         connected + " (Serial: XXA23, Firmware Version: 2.04)",
         {"Reinstall Firmware"},
         104},
        {"entry 1 any other",
         "X6A23",
         "1.2.0+887",
         "Update to 2.01",
         connected + " (Serial: X6A23, Firmware Version: 2.XX)",
         {"Update Now"},
         105},
        {"lower-case xmos is a version",
         "XX123",
         "xmos",
         "Update to 2.07",
         connected + " (Serial: XX123, Firmware Version: 2.XX)",
         {"Update Now"},
         103},
        {"XMOS with a suffix is a version",
         "XX123",
         "XMOS1",
         "Update to 2.07",
         connected + " (Serial: XX123, Firmware Version: 2.XX)",
         {"Update Now"},
         103},
        {"target with a trailing character",
         "XX123",
         "2.2.7+6110",
         "Update to 2.07",
         connected + " (Serial: XX123, Firmware Version: 2.XX)",
         {"Update Now"},
         103},
        {"empty version (unreadable block 0)",
         "XX123",
         "",
         "Update to 2.07",
         connected + " (Serial: XX123, Firmware Version: 2.XX)",
         {"Update Now"},
         103},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        window.onDeviceDisconnected();
        client.imageData = nullptr;
        client.imageSize = 0;
        present(c.serial, c.version);

        EXPECT_EQ(window.messageText(), c.message);
        EXPECT_EQ(window.statusText(), c.status);
        EXPECT_EQ(view.visibleControls(), c.visible);
        EXPECT_FALSE(window.finished());
        // Exactly one progress bar, hidden, in the bar's place.
        const auto* bar = view.record(window.progressBar());
        ASSERT_NE(bar, nullptr);
        EXPECT_EQ(bar->kind, RecordingView::Kind::ProgressBar);
        EXPECT_EQ(bar->bounds, (Rect{42, 50, 442, 80}));
        EXPECT_FALSE(bar->visible);
        if (c.imageId == 0) {
            EXPECT_EQ(window.actionButton(), nullptr);
            EXPECT_EQ(client.imageData, nullptr);
        } else {
            const auto* action = view.record(window.actionButton());
            ASSERT_NE(action, nullptr);
            EXPECT_EQ(action->controlId, 101);
            EXPECT_EQ(action->bounds, (Rect{147, 50, 337, 80}));
            const FirmwareImage image = loadFirmwareImage(c.imageId);
            EXPECT_EQ(client.imageData, image.data);
            EXPECT_EQ(client.imageSize, image.size);
            // The image reaches the engine before the status line names the unit.
            EXPECT_EQ(client.statusWhenImageSet.rfind("Device Connected", 0), std::string::npos);
        }
    }
    EXPECT_EQ(view.callsOnDestroyedControls, 0);
}

TEST_F(WindowFixture, ARunFromStartToTheUnitRestarting) {
    present("XXA23", "1.2.4+887");
    client.blockCount = 5522;
    window.onUpdateState(UpdaterWindow::runStarted);
    const auto* action = view.record(window.actionButton());
    const auto* bar = view.record(window.progressBar());
    EXPECT_EQ(window.messageText(), "Updating...");
    EXPECT_FALSE(action->visible);
    EXPECT_FALSE(action->destroyed);
    EXPECT_EQ(bar->rangeMaximum, 5522);
    EXPECT_EQ(bar->position, std::nullopt);  // the start leaves the position alone
    EXPECT_EQ(view.visibleControls(), Strings{"<progress>"});

    for (std::uint64_t block : {1u, 2u, 5523u}) {
        client.blockNumber = block;
        window.onUpdateState(UpdaterWindow::runProgress);
    }
    EXPECT_EQ(view.positions, (std::vector<std::uint16_t>{1, 2, 5523}));

    window.onUpdateState(UpdaterWindow::runSucceeded);
    EXPECT_EQ(window.messageText(), "Success");
    EXPECT_TRUE(window.finished());
    EXPECT_EQ(view.visibleControls(), Strings{"OK"});

    // The unit restarts and leaves the bus: the verdict and "OK" stay.
    window.onDeviceDisconnected();
    EXPECT_EQ(window.statusText(), noUnitText);
    EXPECT_EQ(window.messageText(), "Success");
    EXPECT_EQ(view.visibleControls(), Strings{"OK"});
    EXPECT_EQ(window.actionButton(), nullptr);
    EXPECT_EQ(window.progressBar(), nullptr);
    EXPECT_EQ(view.liveControls().size(), 1u);  // only "OK" is left
    window.onDeviceDisconnected();              // a second time changes nothing
    EXPECT_EQ(window.messageText(), "Success");
    EXPECT_EQ(view.visibleControls(), Strings{"OK"});
    EXPECT_EQ(view.callsOnDestroyedControls, 0);
}

TEST_F(WindowFixture, AFailedRunSaysSoWithTheSameOkButton) {
    present("XX123", "2.2.6+579");
    window.onUpdateState(UpdaterWindow::runStarted);
    window.onUpdateState(UpdaterWindow::runFailed);
    EXPECT_EQ(window.messageText(), "Update Failed");
    EXPECT_TRUE(window.finished());
    EXPECT_EQ(view.visibleControls(), Strings{"OK"});
    window.onDeviceDisconnected();
    EXPECT_EQ(window.messageText(), "Update Failed");
    EXPECT_EQ(view.visibleControls(), Strings{"OK"});
}

TEST_F(WindowFixture, UnitRemovedDuringARunThenTheRunEnds) {
    for (std::int32_t end : {UpdaterWindow::runSucceeded, UpdaterWindow::runFailed}) {
        SCOPED_TRACE(end);
        present("XX123", "2.2.6+579");
        window.onUpdateState(UpdaterWindow::runStarted);
        window.onDeviceDisconnected();
        // Waiting at once: nothing visible, message cleared.
        EXPECT_EQ(window.statusText(), noUnitText);
        EXPECT_EQ(window.messageText(), "");
        EXPECT_TRUE(view.visibleControls().empty());
        // Late news of the run finds no bar and touches no destroyed control.
        window.onUpdateState(UpdaterWindow::runProgress);
        window.onUpdateState(end);
        EXPECT_EQ(window.statusText(), noUnitText);
        EXPECT_EQ(window.messageText(),
                  end == UpdaterWindow::runSucceeded ? "Success" : "Update Failed");
        EXPECT_EQ(view.visibleControls(), Strings{"OK"});
        EXPECT_EQ(view.callsOnDestroyedControls, 0);
    }
}

TEST_F(WindowFixture, ANewUnitClearsTheEndOfTheLastRun) {
    present("XX123", "2.2.6+579");
    window.onUpdateState(UpdaterWindow::runStarted);
    window.onUpdateState(UpdaterWindow::runSucceeded);
    window.onDeviceDisconnected();
    present("XX123", "2.2.7+611");
    EXPECT_FALSE(window.finished());
    EXPECT_EQ(window.messageText(), "Up to date!");
    EXPECT_EQ(view.visibleControls(), Strings{"Reinstall Firmware"});
    window.onDeviceDisconnected();  // unfinished: back to Waiting
    EXPECT_EQ(window.messageText(), "");
    EXPECT_TRUE(view.visibleControls().empty());
}

TEST_F(WindowFixture, ProgressRangeKeepsTheLow16BitsAndUnknownCodesDoNothing) {
    present("XX123", "2.2.6+579");
    client.blockCount = 65536 + 7;
    window.onUpdateState(UpdaterWindow::runStarted);
    EXPECT_EQ(view.record(window.progressBar())->rangeMaximum, 7);

    const std::string message = window.messageText();
    const auto visible = view.visibleControls();
    const auto positions = view.positions;
    for (std::int32_t code : {-1, 4, 99}) {
        window.onUpdateState(code);
    }
    EXPECT_EQ(window.messageText(), message);
    EXPECT_EQ(view.visibleControls(), visible);
    EXPECT_EQ(view.positions, positions);
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

TEST_F(WindowFixture, TextSettersRepaintOnlyTheirOwnLine) {
    window.setStatusText("status");
    window.setMessageText("message");
    EXPECT_EQ(view.invalidated, (std::vector<Rect>{{15, 15, 485, 35}, {147, 85, 337, 105}}));
    // A text is a C string: a NUL from a string descriptor ends it.
    window.setStatusText(std::string("Tav\0ik", 6));
    EXPECT_EQ(window.statusText(), "Tav");
}

TEST_F(WindowFixture, EventsReachTheEngine) {
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
