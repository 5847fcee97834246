#pragma once

#include <functional>
#include <string>

namespace tavik::bench {

// What the benchmark says about the machine it ran on.
std::string cpuModel();
// The process's peak resident memory so far, in MiB.
double peakResidentMiB();
// Starts a request's worker the way this platform's programs do (a thread of its own each).
bool launchWorker(std::function<void()> work);

}  // namespace tavik::bench
