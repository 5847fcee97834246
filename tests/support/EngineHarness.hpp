#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/WindowProgram.hpp"
#include "contracts/RunEnd.hpp"
#include "engine/Updater.hpp"
#include "runtime/EventLoopCompletionPoster.hpp"
#include "runtime/TaskQueue.hpp"
#include "sim/SimulatedDeviceAccess.hpp"
#include "sim/SimulatedUnit.hpp"
#include "support/RecordingView.hpp"
#include "support/RunOracle.hpp"
#include "ui/UpdaterWindow.hpp"

namespace tavik::test {

// How long a test waits for a worker's completion before it calls the run stuck. Generous: the
// sanitizers slow thread creation a lot, and nothing here measures time.
inline constexpr std::chrono::milliseconds patience{30000};

// The engine's log lines, and for each the number of requests the unit had seen by then.
struct RecordingLog final : Log {
    void write(std::string_view line) override {
        lines.emplace_back(line);
        requestsBefore.push_back(unit ? unit->requestCount() : 0);
    }
    void clear() { lines.clear(), requestsBefore.clear(); }
    std::shared_ptr<sim::SimulatedUnit> unit;
    std::vector<std::string> lines;
    std::vector<std::size_t> requestsBefore;
};

// One request, short, then a space: "U2>64" (DFU_UPLOAD of block 2, 64 bytes back), "D3[0]"
// (DFU_DNLOAD of block 3, no data), "S>6" (DFU_GETSTATUS), "R" (REBOOT_TO_APP), "U0!" (failed).
// What the engine must never send shows: a wValue for S or R ("S5"), an interface other than 0
// ("@1"), a wLength other than 64, the chunk's, 6 or 0 respectively ("/8"), a transfer length
// that is not the wLength ("~64").
inline std::string describe(const sim::WireRequest& r) {
    const unsigned value = r.setup[2] | r.setup[3] << 8, index = r.setup[4] | r.setup[5] << 8;
    const std::size_t length = r.setup[6] | r.setup[7] << 8;
    const int i = static_cast<int>(r.kind) - static_cast<int>(sim::RequestKind::upload);
    std::string text = sim::toString(r.kind);
    if (i >= 0 && i < 4) {  // upload, download, getStatus, rebootToApp
        const std::size_t natural[] = {64, r.data.size(), 6, 0};
        text = "UDSR"[i] + (i < 2 || value != 0 ? std::to_string(value) : "");
        text += i == 1 ? "[" + std::to_string(r.data.size()) + "]" : "";
        text += index != 0 ? "@" + std::to_string(index) : "";
        text += length != natural[i] ? "/" + std::to_string(length) : "";
        text += r.hostLength != length ? "~" + std::to_string(r.hostLength) : "";
    }
    text += !r.succeeded               ? "!"
            : (r.setup[0] & 0x80) != 0 ? ">" + std::to_string(r.data.size())
                                       : "";
    return text + " ";
}

// A request of the simulated unit's record, as the run oracle reads it.
inline RunRequest runRequest(const sim::WireRequest& r) {
    const auto word = [&r](int i) {
        return static_cast<std::uint16_t>(r.setup[i] | r.setup[i + 1] << 8);
    };
    return {{r.setup[0], r.setup[1], word(2), word(4), word(6)}, r.hostLength, r.succeeded, r.data};
}

// A run's end in one line, its fields as numbers: whole ends compare (and print) as text.
inline std::string describe(const RunEnd& e) {
    return "outcome " + std::to_string(static_cast<int>(e.outcome)) + ", phase " +
           std::to_string(static_cast<int>(e.phase)) + ", failure " +
           std::to_string(static_cast<int>(e.failure)) + ", block " + std::to_string(e.block) +
           ", unit state " + (e.unitState ? std::to_string(*e.unitState) : "none");
}

// The program assembled as the entry points do, over a recording view and the simulated unit.
// Completions come back as the command line's do: each one a task on a TaskQueue (through the
// EventLoopCompletionPoster) that hands it to the window, run by the test thread as the message
// loop would run it.
struct EngineHarness {
    explicit EngineHarness(sim::UnitConfig config = {},
                           WorkerLauncher launcher = launchDetachedThread,
                           std::shared_ptr<EventLoop> retryLoop = nullptr)
        : unit(sim::SimulatedUnit::create(std::move(config))),
          devices(unit),
          program(view, devices,
                  std::make_shared<EventLoopCompletionPoster>(
                      loop,
                      [this](bool success, std::uint64_t bytes) {
                          if (const auto first = std::exchange(beforeDelivery, nullptr)) {
                              first();
                          }
                          program.window.onTransferCompleted(success, bytes);
                      }),
                  log, std::move(launcher), std::move(retryLoop)) {
        log.unit = unit;
    }
    // Completions still on their way are dropped with the loop, as the command line drops them:
    // a worker that outlives the harness posts harmlessly.
    ~EngineHarness() { loop->close(); }

    void create() { window.onCreate(500); }

    // Hands the engine an image of the test's own; the run's requests and lines follow.
    void useImage(std::vector<std::uint8_t> bytes) {
        image = std::move(bytes);
        updater.setFirmwareImage(image.data(), image.size());
        from = unit->requestCount();
        log.clear();
    }

    // Hands the next completion to the window, as the message loop would; false if none came.
    // `first` runs once the completion has come, just before the window has it: the request's
    // transfer is over by then.
    bool deliverOne(std::function<void()> first = nullptr) {
        beforeDelivery = std::move(first);
        const bool delivered = loop->runOne(patience);
        beforeDelivery = nullptr;
        return delivered;
    }

    bool runToEnd() {
        while (updater.state() != UpdateState::Idle) {
            if (!deliverOne()) {
                return false;
            }
        }
        return true;
    }

    bool update() {
        window.onActionClicked();
        return runToEnd();
    }

    std::size_t sent() const { return unit->requestCount() - from; }

    const std::optional<RunEnd>& lastRunEnd() const { return program.program.session.lastRunEnd(); }

    std::vector<RunRequest> run() const {
        const std::vector<sim::WireRequest> wire = unit->requests();
        std::vector<RunRequest> run;
        std::transform(wire.begin() + static_cast<std::ptrdiff_t>(from), wire.end(),
                       std::back_inserter(run), runRequest);
        return run;
    }

    // The requests from `from` on, with the log lines written meanwhile, in order.
    std::string transcript() const {
        const std::vector<sim::WireRequest> wire = unit->requests();
        std::string out;
        std::size_t line = 0;
        for (std::size_t i = from; i <= wire.size(); ++i) {
            for (; line < log.lines.size() && log.requestsBefore[line] <= i; ++line) {
                out += log.lines[line];
            }
            out += i < wire.size() ? describe(wire[i]) : "";
        }
        return out;
    }

    std::shared_ptr<sim::SimulatedUnit> unit;
    sim::SimulatedDeviceAccess devices;
    std::shared_ptr<TaskQueue> loop = std::make_shared<TaskQueue>();
    std::function<void()> beforeDelivery;
    RecordingLog log;
    RecordingView view;
    WindowProgram program;
    UpdaterWindow& window = program.window;
    Updater& updater = program.updater;
    std::vector<std::uint8_t> image;
    std::size_t from = 0;  // the first request of the run
};

}  // namespace tavik::test
