#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "contracts/UpdateState.hpp"
#include "contracts/UpdaterClient.hpp"
#include "contracts/UpdaterListener.hpp"
#include "device/DeviceAccess.hpp"
#include "device/Identification.hpp"
#include "device/UsbProtocol.hpp"
#include "device/UsbTransport.hpp"
#include "engine/DfuRequest.hpp"
#include "engine/OpenRetryPolicy.hpp"
#include "runtime/CompletionPoster.hpp"
#include "runtime/EventLoop.hpp"
#include "runtime/Log.hpp"
#include "runtime/WorkerLauncher.hpp"

namespace tavik {

// The update engine: opens and identifies the unit, and runs an update as a state machine on the
// event-loop thread, one DFU request at a time, each on a worker thread of its own.
//
// Threads: every member is called on the event-loop thread. A worker touches only its
// DfuRequest; its completion comes back through the CompletionPoster, whose owner calls
// onTransferComplete on the event-loop thread. At most one request is in flight, because a
// request is started only by startUpdate (with no run in progress) or by the completion of the
// previous one.
//
// Lifetime: the engine may be destroyed with a worker still inside its transfer; that worker
// keeps the transport and the poster alive by itself and never reaches the engine. A try to open
// the unit again that is still pending on the loop then does nothing.
//
// A unit that is there but cannot be opened or identified yet (mayPassLater, or a descriptor
// read that failed) is tried again on a timer of the event loop, as the retry policy says, when
// the engine was given a loop. connectDevice starts the tries afresh; disconnectDevice, a
// successful open and the end of the engine stop them. Each failed try writes its line and tells
// the listener the unit is disconnected, as a single failure does; access denied is told only
// once the last try has failed.
class Updater final : public UpdaterClient {
  public:
    // `listener` (the session over the window or the command line) is told of units and runs
    // and must outlive the engine; so must `devices` and `log`. `poster` carries each worker's
    // completion back to the event-loop thread. `retryLoop` is the loop of that thread, for the
    // tries to open a unit again; without one a failure to open is final until the next
    // connectDevice.
    Updater(UpdaterListener* listener, DeviceAccess& devices,
            std::shared_ptr<CompletionPoster> poster, Log& log,
            WorkerLauncher launchWorker = launchDetachedThread,
            std::shared_ptr<EventLoop> retryLoop = nullptr, OpenRetryPolicy retryPolicy = {});
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;
    ~Updater() = default;

    // --- UpdaterClient ------------------------------------------------------------------------
    void connectDevice() override;
    void disconnectDevice() override;
    void getDeviceInfo(std::string& product, std::string& serial, std::string& version,
                       std::string& build) override;
    void setFirmwareImage(const std::uint8_t* data, std::uint64_t size) override;
    void startUpdate() override;
    void onTransferComplete(bool success, std::uint64_t bytesTransferred) override;
    std::uint64_t getBlockCount() override;
    std::uint64_t getBlockNumber() override;

    // A compare-only run: the unit's image read back block by block against the image set, as
    // the first phase of an update run, and nothing written, no status asked, no restart. Ends
    // with the outcome matched or differed, or failed when a request fails or the unit is gone.
    // Refused like startUpdate without an image or during a run.
    void startCheck();

    // --- Identification of the open unit (synchronous, event-loop thread) ---------------------
    // True when the open unit is one of the given vendor's three products (in the order of
    // unitProductIds); replaces the texts that getDeviceInfo hands out. Writes "Error getting
    // descriptor" when the device descriptor cannot be read whole.
    bool identifyDevice(std::uint16_t vendorId, std::span<const std::uint16_t, 3> productIds);
    // A string descriptor of the open unit as 8-bit text; empty with no unit open.
    std::string getStringDescriptor(std::uint8_t index);

    UpdateState state() const { return state_; }
    bool deviceOpen() const { return device_ != nullptr; }
    // True while a try to open the unit again is due on the loop.
    bool openRetryPending() const { return retryPending_; }

  private:
    enum class BlockCheck { more, whole, differs };
    enum class RunKind { update, check };

    void startRun(RunKind kind);

    // One try to open and identify the unit; schedules the next one when it may pass later.
    void tryOpen();
    Identification identifyOpenDevice(std::uint16_t vendorId,
                                      std::span<const std::uint16_t, 3> productIds);
    // False when no try is left (or there is no loop).
    bool scheduleRetry();
    void closeDevice();

    // The four request starters. Each returns at once; with no unit open it ends the run.
    void requestUpload();
    void requestDownload();
    void requestStatus();
    void requestReboot();
    // False (and the run ended as failed) when the unit the run started on is no longer open.
    bool deviceReadyForRequest();
    void launch(const SetupPacket& setup, bool hasDataStage);
    std::uint16_t takeBlockNumber() { return blockNumber_++; }

    BlockCheck checkBlock(std::uint64_t received);
    void onStatusReply(std::uint64_t received);
    void endWithRestart(bool answered);
    // Tells the listener how the run ended, then goes back to Idle.
    void endRun(const RunEnd& end);
    void logFailure(RunFailure failure);
    static RunFailure transferFailure(const DfuRequest* request);
    void log(std::string_view line) { log_.write(line); }

    UpdaterListener* const listener_;
    DeviceAccess& devices_;
    const std::shared_ptr<CompletionPoster> poster_;
    Log& log_;
    const WorkerLauncher launchWorker_;
    const std::shared_ptr<EventLoop> retryLoop_;
    const OpenRetryPolicy retryPolicy_;

    // The tries to open the unit again: how many are left, whether one is due, and which round
    // of tries it belongs to (a pending try of an earlier round does nothing). `alive_` tells a
    // pending try whether the engine still exists; it is looked at on the event-loop thread only.
    int retriesLeft_ = 0;
    bool retryPending_ = false;
    std::uint64_t retryRound_ = 0;
    std::shared_ptr<char> alive_ = std::make_shared<char>();

    // The open unit; null when closed. Closing is dropping this reference: a worker still in its
    // transfer holds its own, and the handles are released when it lets go.
    std::shared_ptr<UsbTransport> device_;
    DeviceIdentity identity_;

    // Counts the units opened, so that a run knows whether the open unit is the one it started
    // on: a unit closed and opened again (the same one or another) is not.
    std::uint64_t openings_ = 0;
    std::uint64_t runOpening_ = 0;

    // The data of the last request, as far as it was received; main thread only.
    std::array<std::uint8_t, usb::dfuBlockSize> transferBuffer_{};
    // The image for the next run, as the listener last set it (not owned; valid for the life of
    // the process), and the one the run in progress writes and compares: fixed when the run
    // starts, so that an image handed over during a run (another unit arrived) is never mixed
    // into it.
    const std::uint8_t* nextImageData_ = nullptr;
    std::uint64_t nextImageSize_ = 0;
    bool nextImageSetDuringRun_ = false;
    const std::uint8_t* imageData_ = nullptr;
    std::uint64_t imageSize_ = 0;
    std::uint64_t imageOffset_ = 0;  // bytes compared, or placed into chunks, in this phase
    std::uint64_t chunkLength_ = 0;
    std::uint16_t blockNumber_ = 0;  // wValue of the next DFU_UPLOAD or DFU_DNLOAD; progress
    UpdateState state_ = UpdateState::Idle;
    RunKind runKind_ = RunKind::update;
    std::shared_ptr<DfuRequest> inFlight_;
};

}  // namespace tavik
