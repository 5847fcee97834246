#pragma once

#include <cstdint>

namespace tavik {

// Completion delivery: how a request worker hands its outcome back to the event-loop thread,
// which then calls Updater::onTransferComplete(success, bytesTransferred) there.
// Windows: PostMessageW(WM_USER, success ? 1 : 0, bytes) to the main window. Tests: a queue
// that the test pumps on its own thread, like a message loop.
//
// post() is called on a worker thread and must be thread-safe. It must stay harmless after the
// event loop, the window and the engine are gone: workers hold the poster by shared_ptr and may
// still post while the program ends.
class CompletionPoster {
  public:
    virtual ~CompletionPoster() = default;
    virtual void post(bool success, std::uint64_t bytesTransferred) = 0;
};

}  // namespace tavik
