#pragma once

#include <cstdint>
#include <string>

namespace tavik {

// The engine as a front end sees it: the one contract between presentation and engine. The
// window knows it by its own name, UpdaterWindow::Client. Every operation is called on the
// thread that runs the event loop, and only there. Updater is the only implementation; objects
// are never deleted through this interface.
class UpdaterClient {
  public:
    // Slot 0. Window creation and every device arrival. If no unit is open: open and identify
    // one, then tell the listener onDeviceConnected; on any failure behave as disconnectDevice.
    // Returns at once while a unit is open.
    virtual void connectDevice() = 0;
    // Slot 1. Window close, device removal, a failed connect. Closes the unit if open, then
    // tells the listener onDeviceDisconnected. A run in progress ends as failed at its next
    // step, even when a unit has been opened again by then: a run stays on its unit.
    virtual void disconnectDevice() = 0;
    // Slot 2. Only while the listener is told onDeviceConnected. Replaces the four texts with
    // the identified product, serial and version; build is the part of the version after its
    // first "+".
    virtual void getDeviceInfo(std::string& product, std::string& serial, std::string& version,
                               std::string& build) = 0;
    // Slot 3. Only while the listener is told onDeviceConnected. Keeps pointer and size for the
    // next run; the bytes must stay valid for the life of the process and are never copied.
    virtual void setFirmwareImage(const std::uint8_t* data, std::uint64_t size) = 0;
    // Slot 4. The user's click on the action button. Starts a run when an image is set and no
    // run is in progress.
    virtual void startUpdate() = 0;
    // Slot 5. Only as the answer to a request the engine itself started: its success flag and
    // the number of bytes transferred. Advances the run.
    virtual void onTransferComplete(bool success, std::uint64_t bytesTransferred) = 0;
    // Slot 6. (image size + 63) / 64, of the run in progress or else of the image set; 0 with
    // no image.
    virtual std::uint64_t getBlockCount() = 0;
    // Slot 7. The engine's 16-bit block counter, widened without sign.
    virtual std::uint64_t getBlockNumber() = 0;

  protected:
    ~UpdaterClient() = default;
};

}  // namespace tavik
