#include "engine/Updater.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "device/UsbProtocol.hpp"

namespace tavik {

Updater::Updater(UpdaterListener* listener, DeviceAccess& devices,
                 std::shared_ptr<CompletionPoster> poster, Log& log, WorkerLauncher launchWorker,
                 std::shared_ptr<EventLoop> retryLoop, OpenRetryPolicy retryPolicy)
    : listener_(listener),
      devices_(devices),
      poster_(std::move(poster)),
      log_(log),
      launchWorker_(std::move(launchWorker)),
      retryLoop_(std::move(retryLoop)),
      retryPolicy_(retryPolicy) {}

// --- Units -----------------------------------------------------------------------------------

void Updater::connectDevice() {
    if (device_) {
        return;
    }
    ++retryRound_;
    retryPending_ = false;
    retriesLeft_ = retryLoop_ ? retryPolicy_.moreTries : 0;
    tryOpen();
}

void Updater::tryOpen() {
    OpenResult opened = devices_.openDevice();
    if (failed(opened.result.code) || !opened.device) {
        if (opened.deviceNotFound) {
            log("Device not connected or driver not installed\n");
        } else {
            char line[64];
            std::snprintf(line, sizeof line, "Failed looking for device, HRESULT 0x%x\n",
                          static_cast<unsigned>(opened.result.code));
            log(line);
        }
        closeDevice();
        const bool retrying = mayPassLater(opened) && scheduleRetry();
        if (!retrying && opened.result.status == DeviceStatus::accessDenied) {
            listener_->onDeviceAccessDenied();
        }
        return;
    }
    device_ = std::move(opened.device);
    ++openings_;
    switch (identifyOpenDevice(unitVendorId, unitProductIds)) {
        case Identification::recognised:
            ++retryRound_;
            listener_->onDeviceConnected();
            return;
        case Identification::descriptorError:
            closeDevice();
            scheduleRetry();
            return;
        case Identification::notRecognised:
            closeDevice();
            return;
    }
}

bool Updater::scheduleRetry() {
    if (!retryLoop_ || retriesLeft_ <= 0) {
        return false;
    }
    --retriesLeft_;
    retryPending_ = true;
    retryLoop_->postDelayed(retryPolicy_.interval,
                            [this, alive = std::weak_ptr<char>(alive_), round = retryRound_] {
                                if (alive.expired() || round != retryRound_ || device_) {
                                    return;
                                }
                                retryPending_ = false;
                                tryOpen();
                            });
    return true;
}

void Updater::disconnectDevice() {
    ++retryRound_;
    retryPending_ = false;
    retriesLeft_ = 0;
    closeDevice();
}

void Updater::closeDevice() {
    device_.reset();
    listener_->onDeviceDisconnected();
}

bool Updater::identifyDevice(std::uint16_t vendorId, std::span<const std::uint16_t, 3> productIds) {
    return identifyOpenDevice(vendorId, productIds) == Identification::recognised;
}

Identification Updater::identifyOpenDevice(std::uint16_t vendorId,
                                           std::span<const std::uint16_t, 3> productIds) {
    if (!device_) {
        return Identification::notRecognised;
    }
    const Identification found = tavik::identifyDevice(*device_, vendorId, productIds[0],
                                                       productIds[1], productIds[2], identity_);
    if (found == Identification::descriptorError) {
        log("Error getting descriptor\n");
    }
    return found;
}

std::string Updater::getStringDescriptor(std::uint8_t index) {
    return device_ ? tavik::getStringDescriptor(*device_, index) : std::string();
}

void Updater::getDeviceInfo(std::string& product, std::string& serial, std::string& version,
                            std::string& build) {
    product = identity_.product;
    serial = identity_.serial;
    version = identity_.version;
    const std::size_t plus = version.find('+');
    build = plus == std::string::npos ? std::string() : version.substr(plus + 1);
}

// --- Runs ------------------------------------------------------------------------------------

void Updater::setFirmwareImage(const std::uint8_t* data, std::uint64_t size) {
    nextImageData_ = data;
    nextImageSize_ = size;
    nextImageSetDuringRun_ = state_ != UpdateState::Idle;
}

// The run's image during a run (the progress bar's range), else the next run's.
std::uint64_t Updater::getBlockCount() {
    const std::uint64_t size = state_ == UpdateState::Idle ? nextImageSize_ : imageSize_;
    return (size + usb::dfuBlockSize - 1) / usb::dfuBlockSize;
}

std::uint64_t Updater::getBlockNumber() {
    return blockNumber_;
}

void Updater::startUpdate() {
    startRun(RunKind::update);
}

void Updater::startCheck() {
    startRun(RunKind::check);
}

void Updater::startRun(RunKind kind) {
    if (nextImageData_ == nullptr || state_ != UpdateState::Idle) {
        logFailure(RunFailure::notStarted);
        return;
    }
    runKind_ = kind;
    imageData_ = nextImageData_;
    imageSize_ = nextImageSize_;
    nextImageSetDuringRun_ = false;
    runOpening_ = openings_;
    listener_->onRunStarted();
    imageOffset_ = 0;
    blockNumber_ = 0;
    chunkLength_ = 0;
    state_ = UpdateState::CompareExisting;
    requestUpload();
}

void Updater::onTransferComplete(bool success, std::uint64_t bytesTransferred) {
    const std::shared_ptr<DfuRequest> request = std::move(inFlight_);
    // The block number the request carried (0 for those without one).
    const std::uint16_t block = request ? request->setup().value : 0;
    if (!success) {
        if (state_ == UpdateState::Reboot) {
            endWithRestart(false);
            return;
        }
        const RunFailure failure = transferFailure(request.get());
        logFailure(failure);
        endRun({.phase = state_, .failure = failure, .block = block});
        return;
    }
    if (request) {
        const std::span<const std::uint8_t> received = request->received(bytesTransferred);
        std::copy(received.begin(), received.end(), transferBuffer_.begin());
    }
    listener_->onRunProgress();

    switch (state_) {
        case UpdateState::CompareExisting:
        case UpdateState::Verify:
            switch (checkBlock(bytesTransferred)) {
                case BlockCheck::more:
                    requestUpload();
                    break;
                case BlockCheck::whole:
                    if (runKind_ == RunKind::check) {
                        log("Image matches\n");
                        endRun({.outcome = RunOutcome::matched, .phase = state_});
                        break;
                    }
                    state_ = UpdateState::Reboot;
                    requestReboot();
                    break;
                case BlockCheck::differs:
                    if (runKind_ == RunKind::check) {
                        log("Image differs\n");
                        endRun({.outcome = RunOutcome::differed, .phase = state_, .block = block});
                    } else if (state_ == UpdateState::CompareExisting) {
                        // The download always starts over from the image's first byte.
                        state_ = UpdateState::Download;
                        blockNumber_ = 0;
                        imageOffset_ = 0;
                        requestDownload();
                    } else {
                        logFailure(RunFailure::verifyFailed);
                        endRun(
                            {.phase = state_, .failure = RunFailure::verifyFailed, .block = block});
                    }
                    break;
            }
            break;
        case UpdateState::Download:
            if (chunkLength_ != 0) {
                requestDownload();
            } else {
                state_ = UpdateState::GetStatus;
                requestStatus();
            }
            break;
        case UpdateState::GetStatus:
            onStatusReply(bytesTransferred);
            break;
        case UpdateState::Reboot:
            endWithRestart(true);
            break;
        case UpdateState::Idle:
            break;
    }
}

// A read-back matches the image only when every block matches and the first short block ends
// exactly where the image ends: a unit whose data stops early (a blank unit answers block 0 with
// nothing) does not hold the image, and neither does one that returns more than the image.
Updater::BlockCheck Updater::checkBlock(std::uint64_t received) {
    if (received > transferBuffer_.size() || imageOffset_ > imageSize_ ||
        received > imageSize_ - imageOffset_ ||
        !std::equal(transferBuffer_.begin(), transferBuffer_.begin() + received,
                    imageData_ + imageOffset_)) {
        return BlockCheck::differs;
    }
    imageOffset_ += received;
    if (received == transferBuffer_.size()) {
        return BlockCheck::more;
    }
    return imageOffset_ == imageSize_ ? BlockCheck::whole : BlockCheck::differs;
}

// A reply of fewer than six bytes is no status: the bytes that did not arrive are shown as
// zeros rather than as whatever an earlier request left in the buffer.
void Updater::onStatusReply(std::uint64_t received) {
    std::array<std::uint8_t, usb::dfuStatusLength> status{};
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(received, status.size()));
    std::copy_n(transferBuffer_.begin(), count, status.begin());

    char line[64];
    std::snprintf(line, sizeof line, "0x%02x 0x%02x 0x%02x 0x%02x 0x%02x 0x%02x\n", status[0],
                  status[1], status[2], status[3], status[4], status[5]);
    log(line);

    if (count == status.size() && status[usb::dfuStatusStateByte] == usb::dfuIdle) {
        state_ = UpdateState::Verify;
        blockNumber_ = 0;
        imageOffset_ = 0;
        requestUpload();
    } else {
        logFailure(RunFailure::unexpectedStatus);
        endRun({.phase = state_,
                .failure = RunFailure::unexpectedStatus,
                .unitState = count == status.size()
                                 ? std::optional<std::uint8_t>(status[usb::dfuStatusStateByte])
                                 : std::nullopt});
    }
}

// The one way a run succeeds: the restart request was sent with the image in place. The unit
// drops off the bus as it restarts, so the request may well fail (`answered` false); that is a
// success all the same.
void Updater::endWithRestart(bool answered) {
    log(answered ? "Rebooted\n" : "AsyncRequestCallback Error\n");
    endRun({.outcome = RunOutcome::updated, .phase = UpdateState::Reboot});
    // The restarted unit has used up the image; one handed over meanwhile, for a unit opened
    // since, stays for that unit's run.
    if (!nextImageSetDuringRun_) {
        nextImageData_ = nullptr;
    }
}

void Updater::endRun(const RunEnd& end) {
    listener_->onRunEnded(end);
    state_ = UpdateState::Idle;
}

void Updater::logFailure(RunFailure failure) {
    std::string line(failureLine(failure));
    log(line + "\n");
}

// Why a request's transfer failed, from what its transport reported.
RunFailure Updater::transferFailure(const DfuRequest* request) {
    switch (request ? request->result().status : DeviceStatus::other) {
        case DeviceStatus::stalled:
            return RunFailure::stalled;
        case DeviceStatus::gone:
            return RunFailure::unitGone;
        case DeviceStatus::timedOut:
            return RunFailure::timedOut;
        default:
            return RunFailure::transferFailed;
    }
}

// --- Requests --------------------------------------------------------------------------------

bool Updater::deviceReadyForRequest() {
    if (device_ && openings_ == runOpening_) {
        return true;
    }
    const bool numbered = state_ == UpdateState::CompareExisting ||
                          state_ == UpdateState::Download || state_ == UpdateState::Verify;
    endRun({.phase = state_,
            .failure = RunFailure::unreachable,
            .block = numbered ? blockNumber_ : std::uint16_t{0}});
    logFailure(RunFailure::unreachable);
    return false;
}

void Updater::requestUpload() {
    if (!deviceReadyForRequest()) {
        return;
    }
    launch(usb::uploadRequest(takeBlockNumber()), true);
}

void Updater::requestDownload() {
    if (!deviceReadyForRequest()) {
        return;
    }
    // After the image's last byte the chunk is empty: the request that ends the download.
    chunkLength_ = imageOffset_ < imageSize_
                       ? std::min<std::uint64_t>(imageSize_ - imageOffset_, transferBuffer_.size())
                       : 0;
    std::copy_n(imageData_ + imageOffset_, chunkLength_, transferBuffer_.begin());
    imageOffset_ += chunkLength_;
    launch(usb::downloadRequest(takeBlockNumber(), static_cast<std::uint16_t>(chunkLength_)), true);
}

void Updater::requestStatus() {
    if (!deviceReadyForRequest()) {
        return;
    }
    log("About to get status\n");
    launch(usb::statusRequest(), true);
}

void Updater::requestReboot() {
    if (!deviceReadyForRequest()) {
        return;
    }
    log("About to reboot to app\n");
    launch(usb::rebootRequest(), false);
}

void Updater::launch(const SetupPacket& setup, bool hasDataStage) {
    const bool hostToDevice = !usb::deviceToHost(setup.requestType);
    const std::span<const std::uint8_t> outgoing =
        hostToDevice ? std::span<const std::uint8_t>(transferBuffer_.data(), setup.length)
                     : std::span<const std::uint8_t>();
    auto request = std::make_shared<DfuRequest>(device_, poster_, setup, outgoing, hasDataStage);
    inFlight_ = request;
    if (!launchWorker_([request] { request->perform(); })) {
        inFlight_.reset();
        endRun({.phase = state_, .failure = RunFailure::workerNotStarted, .block = setup.value});
        logFailure(RunFailure::workerNotStarted);
    }
}

}  // namespace tavik
