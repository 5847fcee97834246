#pragma once

#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace tavik::sim {

// Threads that run one task each, all joined before the set goes away: finished ones whenever a
// new one starts (so a long run does not pile them up), the rest in joinAll(). Whoever owns the
// set must first release anything a task may wait on, or joinAll() waits for it.
class TaskThreads {
  public:
    TaskThreads() = default;
    TaskThreads(const TaskThreads&) = delete;
    TaskThreads& operator=(const TaskThreads&) = delete;
    ~TaskThreads() { joinAll(); }

    void start(std::function<void()> task);
    // Returns once every task started before or during the call has ended.
    void joinAll();

  private:
    struct Entry {
        std::thread thread;
        bool finished = false;
    };

    std::mutex mutex_;
    std::list<Entry> entries_;
};

}  // namespace tavik::sim
