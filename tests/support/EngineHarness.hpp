#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/Updater.hpp"
#include "sim/CompletionQueue.hpp"
#include "sim/SimulatedDeviceAccess.hpp"
#include "sim/SimulatedUnit.hpp"
#include "support/RecordingView.hpp"
#include "support/Transcript.hpp"
#include "ui/UpdaterWindow.hpp"

namespace tavik::test {

// How long a test waits for a worker's completion before it calls the run stuck. Generous: the
// sanitizers slow thread creation a lot, and nothing here measures time.
inline constexpr std::chrono::milliseconds completionPatience{30000};

// The program assembled as the entry point does, with the simulated unit behind the seams: the
// window (over a recording view), the engine, and a completion queue that the test thread pumps
// as the message loop would.
struct EngineHarness {
    explicit EngineHarness(sim::UnitConfig config = {},
                           Updater::WorkerLauncher launcher = Updater::launchDetachedThread)
        : EngineHarness(sim::SimulatedUnit::create(std::move(config)), std::move(launcher)) {}

    EngineHarness(std::shared_ptr<sim::SimulatedUnit> simulated, Updater::WorkerLauncher launcher)
        : unit(std::move(simulated)),
          devices(unit),
          updater(&window, devices, queue, log, std::move(launcher)) {
        log.follow(unit);
        window.setClient(&updater);
    }

    // The main window is created: the first search for a unit.
    void create() { window.onCreate(500); }

    // Delivers the next completion to the window, as the message loop does with WM_USER.
    bool deliverOne() {
        const auto completion = queue->waitNext(completionPatience);
        if (!completion) {
            return false;
        }
        window.onTransferCompleted(completion->success, completion->bytesTransferred);
        return true;
    }

    // Delivers completions until the run has ended; false if one never came.
    bool runToEnd() {
        while (updater.state() != UpdateState::Idle) {
            if (!deliverOne()) {
                return false;
            }
        }
        return true;
    }

    // Clicks the action button and runs until the end.
    bool update() {
        window.onActionClicked();
        return runToEnd();
    }

    // Requests of `kind` the unit has seen so far (for choosing "the k-th of the run").
    std::uint64_t seen(sim::RequestKind kind) const {
        std::uint64_t n = 0;
        for (const sim::WireRequest& r : unit->requests()) {
            n += kind == sim::RequestKind::any || r.kind == kind ? 1 : 0;
        }
        return n;
    }

    std::vector<std::string> transcriptFrom(std::size_t request) const {
        return transcript(unit->requests(), log, request);
    }

    std::string lastLine() const {
        return log.entries().empty() ? std::string() : log.entries().back().line;
    }

    std::shared_ptr<sim::SimulatedUnit> unit;
    sim::SimulatedDeviceAccess devices;
    std::shared_ptr<sim::CompletionQueue> queue = std::make_shared<sim::CompletionQueue>();
    RecordingLog log;
    RecordingView view;
    UpdaterWindow window{view};
    Updater updater;
};

}  // namespace tavik::test
