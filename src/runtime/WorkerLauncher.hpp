#pragma once

#include <functional>

namespace tavik {

// Starts one request's worker: runs `work` on a new thread of its own, detached, and returns at
// once; false if no thread could be created (then `work` never runs). Called on the event-loop
// thread. Each platform's programs pass theirs (Windows: a C-runtime thread).
using WorkerLauncher = std::function<bool(std::function<void()> work)>;

// The standard library's thread, detached.
bool launchDetachedThread(std::function<void()> work);

}  // namespace tavik
