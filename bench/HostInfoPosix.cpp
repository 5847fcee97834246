#include <sys/resource.h>

#include <fstream>

#include "HostInfo.hpp"
#include "engine/Updater.hpp"

namespace tavik::bench {

std::string cpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            return line.substr(line.find(':') + 2);
        }
    }
    return "unknown";
}

double peakResidentMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // KiB on Linux
}

bool launchWorker(std::function<void()> work) {
    return launchDetachedThread(std::move(work));
}

}  // namespace tavik::bench
