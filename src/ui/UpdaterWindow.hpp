#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "contracts/RunEnd.hpp"
#include "contracts/UpdaterClient.hpp"
#include "session/UpdaterSession.hpp"
#include "ui/WindowView.hpp"

namespace tavik {

class UpdaterWindow final : public UpdaterSession::FrontEnd {
  public:
    // Codes of onUpdateState, the window's news about a run.
    static constexpr std::int32_t runStarted = 0;
    // The run ended with the unit holding the embedded image and told to restart.
    static constexpr std::int32_t runSucceeded = 1;
    static constexpr std::int32_t runProgress = 2;
    // The run ended any other way: a failed transfer before the restart request, an unexpected
    // status, a failed verification, the unit gone, a request that could not be started.
    static constexpr std::int32_t runFailed = 3;

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

    // --- The session's news (UpdaterSession::FrontEnd) ---------------------------------------
    // A unit was identified and its offer chosen: show it.
    void onUnitConnected(const ConnectedUnit& unit) override;
    void onUnitDisconnected() override { onDeviceDisconnected(); }
    // Shows the platform's remedy, if it has one, in the message line.
    void onAccessDenied() override;
    void onRunStarted() override { onUpdateState(runStarted); }
    void onRunProgress() override { onUpdateState(runProgress); }
    // runSucceeded for an update that succeeded, runFailed for one that failed; the window
    // starts no compare-only run and ignores their ends.
    void onRunEnded(const RunEnd& end) override;

    // --- Presentation of units and runs ------------------------------------------------------
    void onDeviceDisconnected();
    // runStarted, runProgress, runSucceeded or runFailed; any other code does nothing.
    void onUpdateState(std::int32_t code);

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
