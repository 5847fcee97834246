#pragma once

#include <functional>

namespace tavik {

// The one thread that owns the window and the engine, as seen from other threads: a request
// worker's completion and a unit's arrival or removal are posted here and run there, in the
// order they were posted. Windows: the message loop (completions stay WM_USER, hotplug stays
// WM_DEVICECHANGE). Qt: queued invocation on the application's event loop. The command line,
// tests and benchmark: TaskQueue.
class EventLoop {
  public:
    virtual ~EventLoop() = default;

    // Thread-safe; never blocks on the event-loop thread and never runs `task` inside the call.
    // Once the loop has ended, `task` is dropped without running, so a worker that outlives the
    // window and the engine may still post harmlessly.
    virtual void post(std::function<void()> task) = 0;
};

}  // namespace tavik
