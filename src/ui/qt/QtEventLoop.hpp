#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "runtime/EventLoop.hpp"

namespace tavik {

// The event loop of a Qt program as seen from other threads: each posted task runs on the thread
// that made the loop object (the one that runs QApplication::exec), as a queued invocation, in
// the order posted.
//
// Tasks wait in a queue of our own, under our own mutex, and Qt carries only a parameterless
// "run the next task" call to a receiver object on the owner thread. So no task crosses threads
// inside Qt's events, and what a worker hands over is ordered by a lock that ThreadSanitizer sees.
class QtEventLoop final : public EventLoop {
  public:
    // On the thread that runs (or will run) the Qt event loop, with the QApplication made.
    QtEventLoop();
    QtEventLoop(const QtEventLoop&) = delete;
    QtEventLoop& operator=(const QtEventLoop&) = delete;
    // Closes the loop if that has not happened. On the owner thread the receiver goes at once;
    // anywhere else (a worker held the last reference) it is handed to Qt to delete on its own
    // thread, and no task runs any more in either case.
    ~QtEventLoop() override;

    // Thread-safe; never runs `task` inside the call. Dropped once the loop is closed.
    void post(std::function<void()> task) override;
    // A single-shot timer of the owner thread, started by a posted task (so from any thread);
    // the delay counts from then, which is no sooner than the call.
    void postDelayed(std::chrono::milliseconds delay, std::function<void()> task) override;

    // Ends the loop on the owner thread: waiting tasks are destroyed unrun, later posts dropped.
    // Safe to call twice and from inside a task (the receiver then goes once that task returns).
    void close();

    // The state shared with the receiver object; opaque outside the implementation.
    struct Shared;

  private:
    const std::shared_ptr<Shared> shared_;
    const std::thread::id owner_;
};

}  // namespace tavik
