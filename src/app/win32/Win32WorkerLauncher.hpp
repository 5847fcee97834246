#pragma once

#include <functional>

namespace tavik {

// Each request's worker as a thread of the C runtime, its handle closed at once (so detached).
// Not std::thread: MinGW-w64's pthreads under it now and then never start a thread that is
// detached right after its creation (under Wine about one in 50,000), and the run would then
// wait for ever for that request's completion. False if no thread could be created.
bool launchWorkerThread(std::function<void()> work);

}  // namespace tavik
