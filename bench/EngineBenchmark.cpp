// Whole update runs of the shipped images on a blank simulated unit: how long a run takes, what
// each request costs the host and where that time goes (starting the worker, the transfer,
// handing the completion back, the event loop's work), how many worker threads are alive at
// once and the peak memory. Each run is measured against a baseline taken in the same process:
// the same transfers issued back to back on one thread to a fresh unit with the same latency.
// The runs are repeated with a fixed latency per transfer.
//
// Usage: tavik-engine-benchmark [latency-microseconds...]   (default 125 1000)
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "HostInfo.hpp"
#include "app/WindowProgram.hpp"
#include "engine/Updater.hpp"
#include "firmware/FirmwareImage.hpp"
#include "sim/CompletionQueue.hpp"
#include "sim/SimulatedDeviceAccess.hpp"
#include "sim/SimulatedUnit.hpp"
#include "ui/UpdaterWindow.hpp"

using tavik::bench::cpuModel;
using tavik::bench::peakResidentMiB;

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

// When the parts of the one request in flight happened. The event-loop thread writes `launched`
// and reads the rest after the completion has come through the queue; the worker writes the rest
// before it posts. The queue's lock orders the two.
struct RequestStamps {
    Clock::time_point launched, started, transferBegan, transferEnded;
};

// Launches workers as the platform's programs do (a thread of its own each), counting how many are
// alive at once and stamping when each starts.
struct WorkerCounter {
    explicit WorkerCounter(RequestStamps& stamps) : stamps(stamps) {}
    RequestStamps& stamps;
    std::atomic<int> alive{0};
    std::atomic<int> most{0};

    tavik::WorkerLauncher launcher() {
        return [this](std::function<void()> work) {
            const int now = ++alive;
            int seen = most.load();
            while (now > seen && !most.compare_exchange_weak(seen, now)) {
            }
            stamps.launched = Clock::now();
            const bool launched = tavik::bench::launchWorker([this, work] {
                stamps.started = Clock::now();
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

// The simulated unit's transport, stamping the start and end of each control transfer.
class StampingTransport final : public tavik::UsbTransport {
  public:
    StampingTransport(std::shared_ptr<tavik::UsbTransport> inner, RequestStamps& stamps)
        : inner_(std::move(inner)), stamps_(stamps) {}
    tavik::DeviceResult getDescriptor(std::uint8_t type, std::uint8_t index,
                                      std::uint16_t languageId, std::uint8_t* buffer,
                                      std::uint32_t length, std::uint32_t& transferred) override {
        return inner_->getDescriptor(type, index, languageId, buffer, length, transferred);
    }
    tavik::DeviceResult controlTransfer(const tavik::SetupPacket& setup, std::uint8_t* buffer,
                                        std::uint32_t length, std::uint32_t& transferred) override {
        stamps_.transferBegan = Clock::now();
        const tavik::DeviceResult result =
            inner_->controlTransfer(setup, buffer, length, transferred);
        stamps_.transferEnded = Clock::now();
        return result;
    }

  private:
    std::shared_ptr<tavik::UsbTransport> inner_;
    RequestStamps& stamps_;
};

class StampingDeviceAccess final : public tavik::DeviceAccess {
  public:
    StampingDeviceAccess(std::shared_ptr<tavik::sim::SimulatedUnit> unit, RequestStamps& stamps)
        : inner_(std::move(unit)), stamps_(stamps) {}
    tavik::OpenResult openDevice() override { return stamped(inner_.openDevice()); }
    tavik::UnitList listUnits() override { return inner_.listUnits(); }
    tavik::OpenResult openUnit(const std::string& key) override {
        return stamped(inner_.openUnit(key));
    }

  private:
    tavik::OpenResult stamped(tavik::OpenResult opened) {
        if (opened.device) {
            opened.device = std::make_shared<StampingTransport>(opened.device, stamps_);
        }
        return opened;
    }

    tavik::sim::SimulatedDeviceAccess inner_;
    RequestStamps& stamps_;
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

struct RunResult {
    bool succeeded = false;
    std::uint64_t blocks = 0;
    std::size_t requests = 0;
    double wallMs = 0;
    std::vector<double> cycleUs;      // delivery of one completion to the delivery of the next
    std::vector<double> eventLoopUs;  // time the event-loop thread spent on each completion
    // The parts of each request: launch to the worker running, the worker's set-up before its
    // transfer, the transfer, and the transfer's end to the completion taken from the queue.
    std::vector<double> startUs, setUpUs, transferUs, handBackUs;
    int mostWorkers = 0;
    double baselineMs = 0;  // the same transfers back to back on one thread
};

// Issues `wire`'s requests again, back to back on this thread, to a fresh blank unit with the
// same latency: what the run would cost with no engine, no threads and no event loop.
double baselineMs(const tavik::sim::UnitConfig& config,
                  const std::vector<tavik::sim::WireRequest>& wire,
                  std::chrono::microseconds latency) {
    auto unit = tavik::sim::SimulatedUnit::create(config);
    unit->setTransferDelay(latency);
    const std::shared_ptr<tavik::UsbTransport> device = unit->open();
    std::array<std::uint8_t, 64> buffer{};
    const Clock::time_point start = Clock::now();
    for (const tavik::sim::WireRequest& request : wire) {
        const auto& b = request.setup;
        const tavik::SetupPacket setup{.requestType = b[0],
                                       .request = b[1],
                                       .value = static_cast<std::uint16_t>(b[2] | b[3] << 8),
                                       .index = static_cast<std::uint16_t>(b[4] | b[5] << 8),
                                       .length = static_cast<std::uint16_t>(b[6] | b[7] << 8)};
        if ((setup.requestType & 0x80) == 0) {
            std::copy(request.data.begin(), request.data.end(), buffer.begin());
        }
        std::uint32_t transferred = 0;
        device->controlTransfer(setup, setup.length != 0 ? buffer.data() : nullptr, setup.length,
                                transferred);
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// One whole run of image `resourceId` on a blank unit whose serial selects that image.
RunResult runOnBlankUnit(int resourceId, const char* serial, std::chrono::microseconds latency) {
    tavik::sim::UnitConfig config;
    config.serial = std::u16string(serial, serial + std::char_traits<char>::length(serial));
    auto unit = tavik::sim::SimulatedUnit::create(config);
    RequestStamps stamps;
    StampingDeviceAccess devices(unit, stamps);
    auto queue = std::make_shared<tavik::sim::CompletionQueue>();
    CountingLog log;
    NullView view;
    WorkerCounter workers(stamps);
    tavik::WindowProgram program(view, devices, queue, log, workers.launcher());
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
        result.startUs.push_back(Micros(stamps.started - stamps.launched).count());
        result.setUpUs.push_back(Micros(stamps.transferBegan - stamps.started).count());
        result.transferUs.push_back(Micros(stamps.transferEnded - stamps.transferBegan).count());
        result.handBackUs.push_back(Micros(delivered - stamps.transferEnded).count());
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
    const std::vector<tavik::sim::WireRequest> wire = unit->requests();
    result.baselineMs = baselineMs(
        config,
        std::vector<tavik::sim::WireRequest>(wire.begin() + static_cast<long>(before), wire.end()),
        latency);
    return result;
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

void printRuns(std::chrono::microseconds latency, bool& allSucceeded) {
    std::printf("%-6s %6s %9s %9s %11s %7s %10s %14s %8s %9s\n", "image", "blocks", "requests",
                "wall ms", "baseline ms", "ratio", "host us", "cycle us", "workers", "peak MiB");
    std::printf("%-6s %6s %9s %9s %11s %7s %10s %14s %8s %9s\n", "", "", "", "", "", "",
                "/ request", "median / p99", "at once", "RSS");
    std::vector<RunResult> results;
    for (const Shipped& s : shipped) {
        const RunResult r = runOnBlankUnit(s.resourceId, s.serial, latency);
        allSucceeded = allSucceeded && r.succeeded;
        const double requests = static_cast<double>(r.requests);
        std::printf("%-6d %6llu %9zu %9.1f %11.1f %7.3f %10.1f %6.1f / %5.1f %8d %9.1f%s\n",
                    s.resourceId, static_cast<unsigned long long>(r.blocks), r.requests, r.wallMs,
                    r.baselineMs, r.baselineMs > 0 ? r.wallMs / r.baselineMs : 0.0,
                    requests > 0 ? (r.wallMs - r.baselineMs) * 1000.0 / requests : 0.0,
                    percentile(r.cycleUs, 0.5), percentile(r.cycleUs, 0.99), r.mostWorkers,
                    peakResidentMiB(), r.succeeded ? "" : "  RUN FAILED");
        results.push_back(r);
    }
    std::printf(
        "Where a request's time goes, medians in us (start: launch to the worker running; "
        "hand-back: the transfer's end to the completion taken by the event loop; event "
        "loop: handling it, starting the next worker included)\n");
    std::printf("%-6s %9s %9s %9s %10s %11s\n", "image", "start", "set-up", "transfer", "hand-back",
                "event loop");
    for (std::size_t i = 0; i < results.size(); ++i) {
        const RunResult& r = results[i];
        std::printf("%-6d %9.1f %9.1f %9.1f %10.1f %11.1f\n", shipped[i].resourceId,
                    percentile(r.startUs, 0.5), percentile(r.setUpUs, 0.5),
                    percentile(r.transferUs, 0.5), percentile(r.handBackUs, 0.5),
                    percentile(r.eventLoopUs, 0.5));
    }
}

}  // namespace

int main(int argc, char** argv) {
    // 125 us is a quick unit; 1 ms is what a full-speed unit gives one request at a time.
    std::vector<std::chrono::microseconds> latencies;
    for (int i = 1; i < argc; ++i) {
        latencies.emplace_back(std::atoi(argv[i]));
    }
    if (latencies.empty()) {
        latencies = {std::chrono::microseconds(125), std::chrono::microseconds(1000)};
    }
    std::printf("Machine: %s, %u hardware threads\n", cpuModel().c_str(),
                std::thread::hardware_concurrency());
    std::printf("Peak resident memory before the runs: %.1f MiB\n\n", peakResidentMiB());
    std::printf(
        "Ratio: wall time / baseline, the same transfers issued back to back on one thread "
        "to a fresh unit with the same latency. Host us / request: (wall - baseline) / "
        "requests.\n\n");

    bool allSucceeded = true;
    std::printf("Whole runs on a blank unit, no transfer latency\n");
    printRuns(std::chrono::microseconds(0), allSucceeded);
    for (const std::chrono::microseconds latency : latencies) {
        std::printf(
            "\nThe same runs with %lld us per transfer (a sleep of %lld us takes %.1f us here)\n",
            static_cast<long long>(latency.count()), static_cast<long long>(latency.count()),
            medianSleepUs(latency));
        printRuns(latency, allSucceeded);
    }
    std::printf("\nPeak resident memory: %.1f MiB\n", peakResidentMiB());
    return allSucceeded ? 0 : 1;
}
