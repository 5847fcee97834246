#pragma once

#include <cstdint>

namespace tavik {

// The engine's news, told to the front end that owns it (the window, or the command line).
// Every call is made on the event-loop thread, from inside an engine operation.
class UpdaterListener {
  public:
    // Codes of onUpdateState, the engine's news about a run.
    static constexpr std::int32_t runStarted = 0;
    // The run ended with the unit holding the embedded image and told to restart.
    static constexpr std::int32_t runSucceeded = 1;
    static constexpr std::int32_t runProgress = 2;
    // The run ended any other way: a failed transfer before the restart request, an unexpected
    // status, a failed verification, the unit gone, a request that could not be started.
    static constexpr std::int32_t runFailed = 3;
    // A compare-only run read back the whole image and wrote nothing: the unit holds it
    // exactly, or it does not. A check that could not finish ends with runFailed.
    static constexpr std::int32_t checkMatched = 4;
    static constexpr std::int32_t checkDiffered = 5;

    // A unit was opened and identified; the listener fetches its texts with getDeviceInfo and
    // hands the engine the image it chooses, if any.
    virtual void onDeviceConnected() = 0;
    // No unit is open any more, or none could be opened.
    virtual void onDeviceDisconnected() = 0;
    // A unit is there but could not be opened for lack of permission (told after
    // onDeviceDisconnected).
    virtual void onDeviceAccessDenied() = 0;
    // One of the codes above; a listener ignores codes it does not know.
    virtual void onUpdateState(std::int32_t code) = 0;

  protected:
    ~UpdaterListener() = default;
};

}  // namespace tavik
