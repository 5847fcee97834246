#include "runtime/TaskQueue.hpp"

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

bool TaskQueue::runOne(std::chrono::milliseconds timeout) {
    std::function<void()> task;
    {
        std::unique_lock lock(mutex_);
        if (!posted_.wait_for(lock, timeout, [&] { return closed_ || !tasks_.empty(); }) ||
            closed_) {
            return false;
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
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        dropped.swap(tasks_);
    }
    posted_.notify_all();
}

}  // namespace tavik
