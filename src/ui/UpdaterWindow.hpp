#pragma once

#include <cstdint>
#include <string>

namespace tavik {

class UpdaterWindow {
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
        // calls the window's onDeviceDisconnected. A run in progress is left to end by itself.
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
        // Slot 6. (image size + 63) / 64; 0 with no image.
        virtual std::uint64_t getBlockCount() = 0;
        // Slot 7. The engine's 16-bit block counter, widened without sign.
        virtual std::uint64_t getBlockNumber() = 0;

      protected:
        ~Client() = default;
    };

    // Codes of onUpdateState, the engine's news about an update run.
    static constexpr std::int32_t runStarted = 0;
    // The run ended with the unit holding the embedded image and told to restart.
    static constexpr std::int32_t runSucceeded = 1;
    static constexpr std::int32_t runProgress = 2;
    // The run ended any other way: a failed transfer before the restart request, an unexpected
    // status, a failed verification, the unit gone, a request that could not be started.
    static constexpr std::int32_t runFailed = 3;
};

}  // namespace tavik
