#pragma once

#include <memory>
#include <utility>

#include "device/DeviceAccess.hpp"
#include "engine/Updater.hpp"
#include "runtime/CompletionPoster.hpp"
#include "runtime/Log.hpp"
#include "ui/UpdaterWindow.hpp"
#include "ui/WindowView.hpp"

namespace tavik {

// The program assembled, the same for every entry point, the tests and the benchmark: the
// window over the platform's view, then the engine over the platform's device access,
// completion delivery and log, linked through the Client contract. The window is made first and
// destroyed last. Nothing is created on the heap; the view, the device access and the log must
// outlive the program, and the poster is shared with the workers, which may outlive it.
struct UpdaterProgram {
    UpdaterProgram(WindowView& view, DeviceAccess& devices,
                   std::shared_ptr<CompletionPoster> poster, Log& log,
                   WorkerLauncher launchWorker = launchDetachedThread)
        : window(view), updater(&window, devices, std::move(poster), log, std::move(launchWorker)) {
        window.setClient(&updater);
    }
    UpdaterProgram(const UpdaterProgram&) = delete;
    UpdaterProgram& operator=(const UpdaterProgram&) = delete;

    UpdaterWindow window;
    Updater updater;
};

}  // namespace tavik
