// Whole update runs of the shipped images on a blank simulated unit: how long a run takes, what
// each request costs the host, how many worker threads are alive at once and the peak memory.
// Then the same runs with a fixed latency per transfer, against the pure transfer time.
//
// Usage: tavik-engine-benchmark [latency-microseconds]   (default 125)
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/UpdaterProgram.hpp"
#include "engine/Updater.hpp"
#include "firmware/FirmwareImage.hpp"
#include "sim/CompletionQueue.hpp"
#include "sim/SimulatedDeviceAccess.hpp"
#include "sim/SimulatedUnit.hpp"
#include "ui/UpdaterWindow.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Micros = std::chrono::duration<double, std::micro>;

// A window view that draws nothing; controls are distinct non-null handles, so the window does
// all of its own work (progress positions included).
class NullView final : public tavik::WindowView {
  public:
    Control createButton(int, std::string_view, const tavik::Rect&) override { return next(); }
    Control createProgressBar(const tavik::Rect&) override { return next(); }
    void destroyControl(Control) override {}
    void showControl(Control, bool) override {}
    void setProgressRange(Control, std::uint16_t) override {}
    void setProgressPosition(Control, std::uint16_t) override {}
    void invalidate(const tavik::Rect&) override {}
    void registerDeviceNotifications() override {}
    void unregisterDeviceNotifications() override {}
    void destroyWindow() override {}
    void quit() override {}

  private:
    Control next() { return &handles_[used_++ % handles_.size()]; }
    std::array<int, 64> handles_{};
    std::size_t used_ = 0;
};

class CountingLog final : public tavik::Log {
  public:
    void write(std::string_view) override { ++lines; }
    int lines = 0;
};

// Launches workers as the engine does, counting how many are alive at once.
struct WorkerCounter {
    std::atomic<int> alive{0};
    std::atomic<int> most{0};
    std::atomic<long> started{0};

    tavik::Updater::WorkerLauncher launcher() {
        return [this](std::function<void()> work) {
            const int now = ++alive;
            int seen = most.load();
            while (now > seen && !most.compare_exchange_weak(seen, now)) {
            }
            ++started;
            const bool launched = tavik::Updater::launchDetachedThread([this, work] {
                work();
                --alive;
            });
            if (!launched) {
                --alive;
            }
            return launched;
        };
    }
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

double peakResidentMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
}

struct RunResult {
    bool succeeded = false;
    std::uint64_t blocks = 0;
    std::size_t requests = 0;
    double wallMs = 0;
    std::vector<double> cycleUs;      // delivery of one completion to the delivery of the next
    std::vector<double> eventLoopUs;  // time the event-loop thread spent on each completion
    int mostWorkers = 0;
    long workersStarted = 0;
};

// One whole run of image `resourceId` on a blank unit whose serial selects that image.
RunResult runOnBlankUnit(int resourceId, const char* serial, std::chrono::microseconds latency) {
    tavik::sim::UnitConfig config;
    config.serial = std::u16string(serial, serial + std::char_traits<char>::length(serial));
    auto unit = tavik::sim::SimulatedUnit::create(config);
    tavik::sim::SimulatedDeviceAccess devices(unit);
    auto queue = std::make_shared<tavik::sim::CompletionQueue>();
    CountingLog log;
    NullView view;
    WorkerCounter workers;
    tavik::UpdaterProgram program(view, devices, queue, log, workers.launcher());
    tavik::UpdaterWindow& window = program.window;
    tavik::Updater& updater = program.updater;
    window.onCreate(500);

    const tavik::FirmwareImage image = tavik::loadFirmwareImage(resourceId);
    RunResult result;
    result.blocks = updater.getBlockCount();
    if (!updater.deviceOpen() || result.blocks != (image.size + 63) / 64) {
        return result;
    }
    unit->setTransferDelay(latency);
    const std::size_t before = unit->requestCount();

    const Clock::time_point start = Clock::now();
    Clock::time_point previous = start;
    window.onActionClicked();
    while (updater.state() != tavik::UpdateState::Idle) {
        const auto completion = queue->waitNext(std::chrono::seconds(60));
        if (!completion) {
            return result;
        }
        const Clock::time_point delivered = Clock::now();
        window.onTransferCompleted(completion->success, completion->bytesTransferred);
        const Clock::time_point handled = Clock::now();
        result.cycleUs.push_back(Micros(delivered - previous).count());
        result.eventLoopUs.push_back(Micros(handled - delivered).count());
        previous = delivered;
    }
    result.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    result.requests = unit->requestCount() - before;
    result.succeeded =
        window.messageText() == "Success" &&
        unit->image() == std::vector<std::uint8_t>(image.data, image.data + image.size);
    // Let the last worker finish before the counts are read.
    while (workers.alive.load() != 0) {
        std::this_thread::yield();
    }
    result.mostWorkers = workers.most.load();
    result.workersStarted = workers.started.load();
    return result;
}

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

// What the platform makes of a sleep of `latency`: the simulated unit's delay is such a sleep.
double medianSleepUs(std::chrono::microseconds latency) {
    std::vector<double> samples;
    for (int i = 0; i < 200; ++i) {
        const Clock::time_point before = Clock::now();
        std::this_thread::sleep_for(latency);
        samples.push_back(Micros(Clock::now() - before).count());
    }
    return percentile(samples, 0.5);
}

struct Shipped {
    int resourceId;
    const char* serial;
};
constexpr Shipped shipped[] = {{103, "T1X00001"}, {104, "T1A00001"}, {105, "T6X00001"}};

}  // namespace

int main(int argc, char** argv) {
    const auto latency = std::chrono::microseconds(argc > 1 ? std::atoi(argv[1]) : 125);
    std::printf("Machine: %s, %u hardware threads\n", cpuModel().c_str(),
                std::thread::hardware_concurrency());
    std::printf("Peak resident memory before the runs: %.1f MiB\n\n", peakResidentMiB());

    bool allSucceeded = true;
    std::printf("Whole runs on a blank unit, no transfer latency\n");
    std::printf("%-6s %6s %9s %9s %9s %14s %14s %8s %9s\n", "image", "blocks", "requests", "2B+4",
                "wall ms", "cycle us", "event loop us", "workers", "peak MiB");
    std::printf("%-6s %6s %9s %9s %9s %14s %14s %8s %9s\n", "", "", "", "", "", "median / p99",
                "median / p99", "at once", "RSS");
    for (const Shipped& s : shipped) {
        const RunResult r = runOnBlankUnit(s.resourceId, s.serial, std::chrono::microseconds(0));
        allSucceeded = allSucceeded && r.succeeded;
        std::printf("%-6d %6llu %9zu %9llu %9.1f %6.1f / %5.1f %6.1f / %5.1f %8d %9.1f%s\n",
                    s.resourceId, static_cast<unsigned long long>(r.blocks), r.requests,
                    static_cast<unsigned long long>(2 * r.blocks + 4), r.wallMs,
                    percentile(r.cycleUs, 0.5), percentile(r.cycleUs, 0.99),
                    percentile(r.eventLoopUs, 0.5), percentile(r.eventLoopUs, 0.99), r.mostWorkers,
                    peakResidentMiB(), r.succeeded ? "" : "  RUN FAILED");
    }

    std::printf(
        "\nThe same runs with %lld us per transfer (a sleep of %lld us takes %.1f us here)\n",
        static_cast<long long>(latency.count()), static_cast<long long>(latency.count()),
        medianSleepUs(latency));
    std::printf("%-6s %9s %9s %16s %7s %14s %8s\n", "image", "requests", "wall ms",
                "transfer-only ms", "ratio", "cycle us", "workers");
    std::printf("%-6s %9s %9s %16s %7s %14s %8s\n", "", "", "", "", "", "median / p99", "at once");
    for (const Shipped& s : shipped) {
        const RunResult r = runOnBlankUnit(s.resourceId, s.serial, latency);
        allSucceeded = allSucceeded && r.succeeded;
        const double pureMs =
            static_cast<double>(r.requests) * static_cast<double>(latency.count()) / 1000.0;
        std::printf("%-6d %9zu %9.1f %16.1f %7.2f %6.1f / %5.1f %8d%s\n", s.resourceId, r.requests,
                    r.wallMs, pureMs, pureMs > 0 ? r.wallMs / pureMs : 0.0,
                    percentile(r.cycleUs, 0.5), percentile(r.cycleUs, 0.99), r.mostWorkers,
                    r.succeeded ? "" : "  RUN FAILED");
    }
    std::printf("\nPeak resident memory: %.1f MiB\n", peakResidentMiB());
    return allSucceeded ? 0 : 1;
}
