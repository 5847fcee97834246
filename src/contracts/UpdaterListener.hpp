#pragma once

#include "contracts/RunEnd.hpp"

namespace tavik {

// The engine's news, told to the one session that turns it into what a front end shows (the
// window, or the command line). Every call is made on the event-loop thread, from inside an
// engine operation.
class UpdaterListener {
  public:
    // A unit was opened and identified; the listener fetches its texts with getDeviceInfo and
    // hands the engine the image it chooses, if any, before it returns.
    virtual void onDeviceConnected() = 0;
    // No unit is open any more, or none could be opened.
    virtual void onDeviceDisconnected() = 0;
    // A unit is there but could not be opened for lack of permission (told after
    // onDeviceDisconnected).
    virtual void onDeviceAccessDenied() = 0;
    // A run started (before its first request).
    virtual void onRunStarted() = 0;
    // A request of the run completed successfully (before the next one starts).
    virtual void onRunProgress() = 0;
    // The run ended, however it ended; once per started run, after its last request.
    virtual void onRunEnded(const RunEnd& end) = 0;

  protected:
    ~UpdaterListener() = default;
};

}  // namespace tavik
