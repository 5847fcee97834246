#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "engine/UpdaterListener.hpp"
#include "ui/WindowView.hpp"

namespace tavik {

class UpdaterWindow final : public UpdaterListener {
  public:
    // The engine as the window sees it: the one contract between presentation and engine.
    // Every operation is called on the thread that runs the event loop, and only there.
    // Updater is the only implementation; objects are never deleted through this interface.
    class Client {
      public:
        // Slot 0. Window creation and every device arrival. If no unit is open: open and identify
        // one, then call the window's onDeviceConnected; on any failure behave as
        // disconnectDevice. Returns at once while a unit is open.
        virtual void connectDevice() = 0;
        // Slot 1. Window close, device removal, a failed connect. Closes the unit if open, then
        // calls the window's onDeviceDisconnected. A run in progress ends as failed at its next
        // step, even when a unit has been opened again by then: a run stays on its unit.
        virtual void disconnectDevice() = 0;
        // Slot 2. Only from onDeviceConnected. Replaces the four texts with the identified
        // product, serial and version; build is the part of the version after its first "+".
        virtual void getDeviceInfo(std::string& product, std::string& serial, std::string& version,
                                   std::string& build) = 0;
        // Slot 3. Only from onDeviceConnected. Keeps pointer and size for the next run; the bytes
        // must stay valid for the life of the process and are never copied.
        virtual void setFirmwareImage(const std::uint8_t* data, std::uint64_t size) = 0;
        // Slot 4. The user's click on the action button. Starts a run when an image is set and
        // no run is in progress.
        virtual void startUpdate() = 0;
        // Slot 5. Only as the answer to a request the engine itself started: its success flag
        // and the number of bytes transferred. Advances the run.
        virtual void onTransferComplete(bool success, std::uint64_t bytesTransferred) = 0;
        // Slot 6. (image size + 63) / 64, of the run in progress or else of the image set; 0
        // with no image.
        virtual std::uint64_t getBlockCount() = 0;
        // Slot 7. The engine's 16-bit block counter, widened without sign.
        virtual std::uint64_t getBlockNumber() = 0;

      protected:
        ~Client() = default;
    };

    explicit UpdaterWindow(WindowView& view) : view_(view) {}
    UpdaterWindow(const UpdaterWindow&) = delete;
    UpdaterWindow& operator=(const UpdaterWindow&) = delete;

    // Set once by the entry point, before the main window is created; never changed.
    void setClient(Client* client) { client_ = client; }

    // --- Window events, from the platform ---------------------------------------------------
    // Main window created (its client area `clientWidth` wide): "Loading...", the hidden "OK"
    // button, device notifications, then the first connection attempt.
    void onCreate(int clientWidth);
    // Close box, system menu, Alt+F4: notifications off, unit closed, window destroyed.
    void onClose();
    void onActionClicked();
    // Ends the event loop at once; notifications, unit and window are left to the process end.
    void onOkClicked();
    // An interface of either class arrived or was removed, whichever unit it names.
    void onDeviceArrival();
    void onDeviceRemoval();
    // A request worker's completion, delivered on the event-loop thread.
    void onTransferCompleted(bool success, std::uint64_t bytesTransferred);

    // --- The engine's news (UpdaterListener) --------------------------------------------------
    // A unit was opened and identified: choose the offer and show it.
    void onDeviceConnected() override;
    void onDeviceDisconnected() override;
    // runStarted, runProgress, runSucceeded or runFailed; any other code does nothing (the
    // window starts no compare-only run).
    void onUpdateState(std::int32_t code) override;
    // Shows the platform's remedy, if it has one, in the message line.
    void onDeviceAccessDenied() override;

    // The remedy shown on access denied, set once by a platform whose users commonly meet it
    // (Linux: the udev rule). Empty, the default, shows nothing.
    void setAccessDeniedText(std::string text) { accessDeniedText_ = std::move(text); }

    // --- Presentation ------------------------------------------------------------------------
    // "Update to " + the display version, and the "Update Now" button.
    void showUpdateOffer(std::string_view targetDisplayVersion);
    // Replace a line's text (up to its first NUL) and ask for that line alone to be repainted.
    void setStatusText(std::string_view text);
    void setMessageText(std::string_view text);

    // --- Read by painting, and by tests ------------------------------------------------------
    const std::string& statusText() const { return statusText_; }
    const std::string& messageText() const { return messageText_; }
    int clientWidth() const { return clientWidth_; }
    bool finished() const { return finished_; }
    WindowView::Control actionButton() const { return actionButton_; }
    WindowView::Control progressBar() const { return progressBar_; }
    WindowView::Control okButton() const { return okButton_; }

  private:
    void createActionButton(std::string_view caption);

    WindowView& view_;
    Client* client_ = nullptr;
    WindowView::Control actionButton_ = nullptr;
    WindowView::Control progressBar_ = nullptr;
    WindowView::Control okButton_ = nullptr;
    std::string statusText_ = "Loading...";
    std::string messageText_;
    std::string accessDeniedText_;
    int clientWidth_ = 0;
    bool finished_ = false;
};

}  // namespace tavik
