#pragma once

#include <string>

namespace tavik::bench {

// What the benchmark says about the machine it ran on.
std::string cpuModel();
// The process's peak resident memory so far, in MiB.
double peakResidentMiB();

}  // namespace tavik::bench
