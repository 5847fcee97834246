#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include "HostInfo.hpp"
#include "app/win32/Win32WorkerLauncher.hpp"

namespace tavik::bench {

std::string cpuModel() {
    char name[256] = {};
    DWORD size = sizeof name;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0",
                     "ProcessorNameString", RRF_RT_REG_SZ, nullptr, name, &size) != ERROR_SUCCESS) {
        return "unknown";
    }
    return name;
}

double peakResidentMiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
        return 0;
    }
    return static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
}

bool launchWorker(std::function<void()> work) {
    return launchWorkerThread(std::move(work));
}

}  // namespace tavik::bench
