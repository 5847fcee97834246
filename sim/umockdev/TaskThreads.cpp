#include "sim/umockdev/TaskThreads.hpp"

#include <utility>

namespace tavik::sim {

void TaskThreads::start(std::function<void()> task) {
    std::list<Entry> finished;
    {
        std::lock_guard lock(mutex_);
        for (auto it = entries_.begin(); it != entries_.end();) {
            const auto next = std::next(it);
            if (it->finished) {
                finished.splice(finished.end(), entries_, it);
            }
            it = next;
        }
        Entry& entry = entries_.emplace_back();
        // The task marks its own entry; the entry stays in the list until it has been joined.
        entry.thread = std::thread([this, &entry, task = std::move(task)] {
            task();
            std::lock_guard lock(mutex_);
            entry.finished = true;
        });
    }
    for (Entry& entry : finished) {
        entry.thread.join();
    }
}

void TaskThreads::joinAll() {
    for (;;) {
        std::list<Entry> running;
        {
            std::lock_guard lock(mutex_);
            running.swap(entries_);
        }
        if (running.empty()) {
            return;
        }
        for (Entry& entry : running) {
            entry.thread.join();
        }
    }
}

}  // namespace tavik::sim
