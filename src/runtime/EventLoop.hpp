#pragma once

#include <chrono>
#include <functional>

namespace tavik {

// The one thread that owns the window and the engine, as seen from other threads: a request
// worker's completion and a unit's arrival or removal are posted here and run there, in the
// order they were posted. Windows: the message loop (completions stay WM_USER, hotplug stays
// WM_DEVICECHANGE, timers are WM_TIMER). Qt: queued invocation and timers on the application's
// event loop. The command line, tests and benchmark: TaskQueue.
class EventLoop {
  public:
    virtual ~EventLoop() = default;

    // Thread-safe; never blocks on the event-loop thread and never runs `task` inside the call.
    // Once the loop has ended, `task` is dropped without running, so a worker that outlives the
    // window and the engine may still post harmlessly.
    virtual void post(std::function<void()> task) = 0;

    // The same, but `task` runs no sooner than `delay` after the call (later when the loop is
    // busy); tasks whose time has come run in the order of their times. Dropped unrun once the
    // loop has ended. For timers of the event-loop thread itself, such as trying a unit again
    // that was not ready; the loop never blocks while one is pending.
    virtual void postDelayed(std::chrono::milliseconds delay, std::function<void()> task) = 0;
};

}  // namespace tavik
