#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "runtime/CompletionPoster.hpp"
#include "runtime/EventLoop.hpp"

namespace tavik {

// Completion delivery through an event loop: each completion becomes a task that hands it to
// `deliver` on the event-loop thread (the window's onTransferCompleted). Posting after the loop
// has ended drops the completion, as the loop's contract says.
class EventLoopCompletionPoster final : public CompletionPoster {
  public:
    using Delivery = std::function<void(bool success, std::uint64_t bytesTransferred)>;

    EventLoopCompletionPoster(std::shared_ptr<EventLoop> loop, Delivery deliver)
        : loop_(std::move(loop)), deliver_(std::move(deliver)) {}

    void post(bool success, std::uint64_t bytesTransferred) override {
        loop_->post([deliver = deliver_, success, bytesTransferred] {
            deliver(success, bytesTransferred);
        });
    }

  private:
    const std::shared_ptr<EventLoop> loop_;
    const Delivery deliver_;
};

}  // namespace tavik
