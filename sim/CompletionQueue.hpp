#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "runtime/CompletionPoster.hpp"

namespace tavik::sim {

// Completion delivery for tests, the benchmark and the demo: workers post from their threads,
// and the owner pumps the queue on its own thread, handing each completion to the engine there,
// as a message loop does. Workers hold it by shared_ptr, so a queue that nobody pumps any more
// may still be posted to safely.
class CompletionQueue final : public CompletionPoster {
  public:
    struct Completion {
        bool success = false;
        std::uint64_t bytesTransferred = 0;
    };

    void post(bool success, std::uint64_t bytesTransferred) override;

    // The oldest completion, waiting up to `timeout` for one to arrive; nullopt if none did.
    std::optional<Completion> waitNext(std::chrono::milliseconds timeout);
    // The oldest completion if one is waiting.
    std::optional<Completion> tryNext();
    std::size_t waiting() const;
    std::uint64_t postedTotal() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Completion> queue_;
    std::uint64_t posted_ = 0;
};

}  // namespace tavik::sim
