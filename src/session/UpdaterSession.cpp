#include "session/UpdaterSession.hpp"

#include "firmware/FirmwareImage.hpp"

namespace tavik {

void UpdaterSession::onDeviceConnected() {
    std::string product, serial, version, build;
    client_->getDeviceInfo(product, serial, version, build);
    ConnectedUnit unit{chooseUnitOffer(product, serial, version, build), version};
    if (unit.offer.hasImage()) {
        const FirmwareImage image = loadFirmwareImage(unit.offer.resourceId);
        client_->setFirmwareImage(image.data, image.size);
    }
    unit_ = std::move(unit);
    frontEnd_.onUnitConnected(*unit_);
}

void UpdaterSession::onDeviceDisconnected() {
    unit_.reset();
    frontEnd_.onUnitDisconnected();
}

void UpdaterSession::onDeviceAccessDenied() {
    frontEnd_.onAccessDenied();
}

void UpdaterSession::onRunStarted() {
    frontEnd_.onRunStarted();
}

void UpdaterSession::onRunProgress() {
    frontEnd_.onRunProgress();
}

void UpdaterSession::onRunEnded(const RunEnd& end) {
    lastRunEnd_ = end;
    frontEnd_.onRunEnded(end);
}

}  // namespace tavik
