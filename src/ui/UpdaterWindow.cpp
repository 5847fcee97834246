#include "ui/UpdaterWindow.hpp"

#include <string>

namespace tavik {

namespace {

constexpr std::string_view noUnitText =
    "No Tavik in update mode. Hold MON on IN 2 and power on device.";

// A line's text is a C string: whatever follows a NUL (a string descriptor can carry one) is not
// part of it.
std::string_view untilNul(std::string_view text) {
    return text.substr(0, text.find('\0'));
}

}  // namespace

// --- Window events -------------------------------------------------------------------------

void UpdaterWindow::onCreate(int clientWidth) {
    clientWidth_ = clientWidth;
    setStatusText("Loading...");
    okButton_ = view_.createButton(idcOkButton, "OK", WindowLayout::button(clientWidth_));
    if (okButton_ != nullptr) {
        view_.showControl(okButton_, false);
    }
    view_.registerDeviceNotifications();
    client_->connectDevice();
}

void UpdaterWindow::onClose() {
    view_.unregisterDeviceNotifications();
    client_->disconnectDevice();
    view_.destroyWindow();
}

void UpdaterWindow::onActionClicked() {
    client_->startUpdate();
}

void UpdaterWindow::onOkClicked() {
    view_.quit();
}

void UpdaterWindow::onDeviceArrival() {
    client_->connectDevice();
}

void UpdaterWindow::onDeviceRemoval() {
    client_->disconnectDevice();
}

void UpdaterWindow::onTransferCompleted(bool success, std::uint64_t bytesTransferred) {
    client_->onTransferComplete(success, bytesTransferred);
}

// --- The session's news --------------------------------------------------------------------

void UpdaterWindow::onUnitConnected(const ConnectedUnit& unit) {
    finished_ = false;
    const UnitOffer& offer = unit.offer;
    const std::string& product = offer.product;
    const std::string& serial = offer.serial;

    std::string description;
    switch (offer.outcome) {
        case OfferOutcome::xmos:
            description = product + " (Serial: " + serial + ")";
            setMessageText("Your device is already up-to-date.");
            break;
        case OfferOutcome::unidentified:
            description = product;
            setMessageText("Error Identifying Device");
            break;
        case OfferOutcome::upToDate:
            setMessageText("Up to date!");
            createActionButton("Reinstall Firmware");
            description = product + " (Serial: " + serial +
                          ", Firmware Version: " + offer.targetDisplayVersion + ")";
            break;
        case OfferOutcome::update:
            showUpdateOffer(offer.targetDisplayVersion);
            description = product + " (Serial: " + serial +
                          ", Firmware Version: " + offer.currentDisplayVersion + ")";
            break;
    }
    // "OK" ends the program: it is the only button for a unit that is offered no image.
    if (okButton_ != nullptr) {
        view_.showControl(okButton_, !offer.hasImage());
    }
    setStatusText("Device Connected: " + description);

    progressBar_ = view_.createProgressBar(WindowLayout::progressBar(clientWidth_));
    if (progressBar_ != nullptr) {
        view_.showControl(progressBar_, false);
    }
}

void UpdaterWindow::onDeviceDisconnected() {
    setStatusText(noUnitText);
    if (actionButton_ != nullptr) {
        view_.destroyControl(actionButton_);
        actionButton_ = nullptr;
    }
    if (progressBar_ != nullptr) {
        view_.destroyControl(progressBar_);
        progressBar_ = nullptr;
    }
    if (finished_) {
        // The end of the run stays on screen after the unit has gone (it restarts on success).
        return;
    }
    setMessageText("");
    if (okButton_ != nullptr) {
        view_.showControl(okButton_, false);
    }
}

void UpdaterWindow::onUpdateState(std::int32_t code) {
    switch (code) {
        case runStarted:
            if (actionButton_ != nullptr) {
                view_.showControl(actionButton_, false);
            }
            if (progressBar_ != nullptr) {
                view_.setProgressRange(progressBar_,
                                       static_cast<std::uint16_t>(client_->getBlockCount()));
                view_.showControl(progressBar_, true);
            }
            setMessageText("Updating...");
            break;
        case runProgress:
            if (progressBar_ != nullptr) {
                view_.setProgressPosition(progressBar_,
                                          static_cast<std::uint16_t>(client_->getBlockNumber()));
            }
            break;
        case runSucceeded:
        case runFailed:
            if (progressBar_ != nullptr) {
                view_.showControl(progressBar_, false);
            }
            // A unit that arrived during the run may have put its offer where "OK" goes: the
            // end of the run replaces it, one button at a time.
            if (actionButton_ != nullptr) {
                view_.showControl(actionButton_, false);
            }
            if (okButton_ != nullptr) {
                view_.showControl(okButton_, true);
            }
            setMessageText(code == runSucceeded ? "Success" : "Update Failed");
            finished_ = true;
            break;
        default:
            break;
    }
}

void UpdaterWindow::onRunEnded(const RunEnd& end) {
    switch (end.outcome) {
        case RunOutcome::updated:
            onUpdateState(runSucceeded);
            break;
        case RunOutcome::failed:
            onUpdateState(runFailed);
            break;
        case RunOutcome::matched:
        case RunOutcome::differed:
            break;
    }
}

void UpdaterWindow::onAccessDenied() {
    if (!accessDeniedText_.empty()) {
        setMessageText(accessDeniedText_);
    }
}

// --- Presentation --------------------------------------------------------------------------

void UpdaterWindow::showUpdateOffer(std::string_view targetDisplayVersion) {
    setMessageText("Update to " + std::string(targetDisplayVersion));
    createActionButton("Update Now");
}

void UpdaterWindow::createActionButton(std::string_view caption) {
    actionButton_ =
        view_.createButton(idcActionButton, caption, WindowLayout::button(clientWidth_));
}

void UpdaterWindow::setStatusText(std::string_view text) {
    statusText_ = untilNul(text);
    view_.invalidate(WindowLayout::statusLine(clientWidth_));
}

void UpdaterWindow::setMessageText(std::string_view text) {
    messageText_ = untilNul(text);
    view_.invalidate(WindowLayout::messageLine(clientWidth_));
}

}  // namespace tavik
