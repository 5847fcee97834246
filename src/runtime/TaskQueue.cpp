#include "runtime/TaskQueue.hpp"

#include <algorithm>
#include <utility>

namespace tavik {

void TaskQueue::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            return;
        }
        tasks_.push_back(std::move(task));
    }
    posted_.notify_one();
}

void TaskQueue::postDelayed(std::chrono::milliseconds delay, std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            return;
        }
        timers_.emplace(std::chrono::steady_clock::now() + delay, std::move(task));
    }
    posted_.notify_one();  // the owner may be waiting past the new task's time
}

bool TaskQueue::runOne(std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    std::function<void()> task;
    {
        std::unique_lock lock(mutex_);
        const Clock::time_point deadline = Clock::now() + timeout;
        for (;;) {
            if (closed_) {
                return false;
            }
            const Clock::time_point now = Clock::now();
            while (!timers_.empty() && timers_.begin()->first <= now) {
                tasks_.push_back(std::move(timers_.begin()->second));
                timers_.erase(timers_.begin());
            }
            if (!tasks_.empty()) {
                break;
            }
            if (now >= deadline) {
                return false;
            }
            posted_.wait_until(
                lock, timers_.empty() ? deadline : std::min(deadline, timers_.begin()->first));
        }
        task = std::move(tasks_.front());
        tasks_.pop_front();
    }
    task();
    return true;
}

bool TaskQueue::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    while (!done()) {
        if (!runOne(timeout)) {
            return done();
        }
    }
    return true;
}

void TaskQueue::close() {
    // Destroyed after the lock is released: their captures may post.
    std::deque<std::function<void()>> dropped;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> droppedTimers;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        dropped.swap(tasks_);
        droppedTimers.swap(timers_);
    }
    posted_.notify_all();
}

}  // namespace tavik
