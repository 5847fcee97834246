#include "sim/CompletionQueue.hpp"

namespace tavik::sim {

void CompletionQueue::post(bool success, std::uint64_t bytesTransferred) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back({success, bytesTransferred});
        ++posted_;
    }
    arrived_.notify_one();
}

std::optional<CompletionQueue::Completion> CompletionQueue::waitNext(
    std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_for(lock, timeout, [&] { return !queue_.empty(); })) {
        return std::nullopt;
    }
    const Completion next = queue_.front();
    queue_.pop_front();
    return next;
}

std::optional<CompletionQueue::Completion> CompletionQueue::tryNext() {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) {
        return std::nullopt;
    }
    const Completion next = queue_.front();
    queue_.pop_front();
    return next;
}

std::size_t CompletionQueue::waiting() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

std::uint64_t CompletionQueue::postedTotal() const {
    std::lock_guard lock(mutex_);
    return posted_;
}

}  // namespace tavik::sim
