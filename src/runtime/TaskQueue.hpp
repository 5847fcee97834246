#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "runtime/EventLoop.hpp"

namespace tavik {

// An event loop for programs without a window system of their own (the command line, tests,
// the benchmark): tasks posted from any thread wait in a queue until the owning thread runs them.
class TaskQueue final : public EventLoop {
  public:
    void post(std::function<void()> task) override;
    void postDelayed(std::chrono::milliseconds delay, std::function<void()> task) override;

    // Runs the oldest task, waiting up to `timeout` for one (a delayed task counts once its time
    // has come); false if none came (or closed).
    bool runOne(std::chrono::milliseconds timeout);
    // Runs tasks until `done()` holds (checked before each wait) or `timeout` passes without a
    // task; returns done().
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Ends the loop: tasks waiting now and posted later are dropped.
    void close();

  private:
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<std::function<void()>> tasks_;
    // Delayed tasks by the time they are due; moved to tasks_ once it has come.
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers_;
    bool closed_ = false;
};

}  // namespace tavik
