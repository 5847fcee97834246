#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <memory>

#include "runtime/EventLoop.hpp"

namespace tavik {

// The message loop of the Windows program as seen from other threads: each posted task runs on
// the thread that made the loop object (the one that runs GetMessage and DispatchMessage), in
// the order posted. A message-only window of that thread receives one posted message per task
// and the WM_TIMER of each delayed task; the tasks themselves wait in a queue of our own, under
// our own mutex, so no task crosses threads inside a message.
//
// Worker completions stay WM_USER to the main window and hotplug stays WM_DEVICECHANGE: this
// loop carries only the engine's own tasks, such as its tries to open a unit again.
class Win32EventLoop final : public EventLoop {
  public:
    // On the thread that runs (or will run) the message loop. Creates the message-only window;
    // when that fails (ok() false) every task is dropped.
    Win32EventLoop();
    Win32EventLoop(const Win32EventLoop&) = delete;
    Win32EventLoop& operator=(const Win32EventLoop&) = delete;
    // Closes the loop if that has not happened. On the owner thread the window goes at once;
    // elsewhere (a worker held the last reference) it is asked to close and goes on its own
    // thread. No task runs any more in either case.
    ~Win32EventLoop() override;

    // Thread-safe; never runs `task` inside the call. Dropped once the loop is closed.
    void post(std::function<void()> task) override;
    // A timer of the message-only window (SetTimer), set at once on the owner thread, or by a
    // posted task from any other thread, with the delay that is then left.
    void postDelayed(std::chrono::milliseconds delay, std::function<void()> task) override;

    // Ends the loop: waiting tasks are destroyed unrun, later posts dropped. Any thread; safe to
    // call twice and from inside a task.
    void close();

    bool ok() const;

    // The state shared with the window procedure; opaque outside the implementation.
    struct Shared;

  private:
    const std::shared_ptr<Shared> shared_;
    const DWORD owner_;
};

}  // namespace tavik
