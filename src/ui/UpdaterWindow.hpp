#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "contracts/UpdaterClient.hpp"
#include "contracts/UpdaterListener.hpp"
#include "ui/WindowView.hpp"

namespace tavik {

class UpdaterWindow final : public UpdaterListener {
  public:
    // The engine as the window sees it (the contract every front end shares).
    using Client = UpdaterClient;

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
