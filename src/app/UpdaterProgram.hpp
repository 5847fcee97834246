#pragma once

#include <memory>
#include <utility>

#include "device/DeviceAccess.hpp"
#include "engine/Updater.hpp"
#include "runtime/CompletionPoster.hpp"
#include "runtime/Log.hpp"
#include "runtime/WorkerLauncher.hpp"
#include "session/UpdaterSession.hpp"

namespace tavik {

// The engine and its session over one front end (the window, or the command line): what every
// entry point, the tests and the benchmark run. The engine tells the session its news, and the
// session tells the front end. The session is made first and destroyed last. Nothing is created
// on the heap; the front end, the device access and the log must outlive the program, and the
// poster is shared with the workers, which may outlive it. `retryLoop`, the event loop of the
// program's thread, lets the engine try again a unit that is there but not ready (see Updater).
struct UpdaterProgram {
    UpdaterProgram(UpdaterSession::FrontEnd& frontEnd, DeviceAccess& devices,
                   std::shared_ptr<CompletionPoster> poster, Log& log,
                   WorkerLauncher launchWorker = launchDetachedThread,
                   std::shared_ptr<EventLoop> retryLoop = nullptr, OpenRetryPolicy retryPolicy = {})
        : session(frontEnd),
          updater(&session, devices, std::move(poster), log, std::move(launchWorker),
                  std::move(retryLoop), retryPolicy) {
        session.setClient(&updater);
    }
    UpdaterProgram(const UpdaterProgram&) = delete;
    UpdaterProgram& operator=(const UpdaterProgram&) = delete;

    UpdaterSession session;
    Updater updater;
};

}  // namespace tavik
