#pragma once

#include <memory>
#include <utility>

#include "app/UpdaterProgram.hpp"
#include "ui/UpdaterWindow.hpp"
#include "ui/WindowView.hpp"

namespace tavik {

// The window programs (Windows, Linux) assembled: the window over the platform's view, then the
// program with the window as its front end, linked through the Client contract. The window is
// made first and destroyed last; the view must outlive it. For `retryLoop`, see UpdaterProgram.
struct WindowProgram {
    WindowProgram(WindowView& view, DeviceAccess& devices, std::shared_ptr<CompletionPoster> poster,
                  Log& log, WorkerLauncher launchWorker = launchDetachedThread,
                  std::shared_ptr<EventLoop> retryLoop = nullptr, OpenRetryPolicy retryPolicy = {})
        : window(view),
          program(window, devices, std::move(poster), log, std::move(launchWorker),
                  std::move(retryLoop), retryPolicy) {
        window.setClient(&program.updater);
    }
    WindowProgram(const WindowProgram&) = delete;
    WindowProgram& operator=(const WindowProgram&) = delete;

    UpdaterWindow window;
    UpdaterProgram program;
    Updater& updater = program.updater;
};

}  // namespace tavik
