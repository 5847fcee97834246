// Whole update runs on random units, under random faults, removals and arrivals, each checked
// against what must hold however the run goes. A failing case shrinks to a short schedule, which
// rapidcheck prints.
#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

// Unit configurations are designated initializers that leave the other fields at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <thread>
#include <vector>

#include "sim/CompletionQueue.hpp"
#include "support/EngineHarness.hpp"
#include "support/TestImages.hpp"

namespace tavik {
namespace {

using Bytes = std::vector<std::uint8_t>;
using sim::Fault;
using sim::SimulatedUnit;

// A mishap of unit A at request `at` of the run (counted from 0), or of the host: the worker of
// request `at` cannot start, or a bus event at step `at`: 2k is before request k's transfer,
// 2k + 1 after it and before its completion is handled.
struct MishapKind {
    const char* name;
    void (*onUnit)(SimulatedUnit& a, std::uint32_t at);  // null: not the unit's
};
using A = SimulatedUnit&;
constexpr std::uint32_t noWorker = 9, unplug = 10, removalNotice = 11, plugA = 12, plugB = 13;
const Bytes errorStatus{0x0F, 0, 0, 0, 0x0A, 0},
    shortStatus{0, 0, 0, 0, 2};  // dfuERROR; dfuIDLE in 5 bytes
const MishapKind kinds[] = {
    {"stall", [](A a, std::uint32_t at) { a.addFault(Fault::stall, a.requestCount() + at); }},
    {"fail", [](A a, std::uint32_t at) { a.addFault(Fault::fail, a.requestCount() + at); }},
    {"vanish", [](A a, std::uint32_t at) { a.addFault(Fault::vanish, a.requestCount() + at); }},
    {"corrupt", [](A a, std::uint32_t at) { a.corruptBlock(static_cast<std::uint16_t>(at % 5)); }},
    {"extra", [](A a, std::uint32_t at) { a.setExtraReadBackBytes(at + 1); }},
    {"errorStatus", [](A a, std::uint32_t) { a.setStatusReply(errorStatus); }},
    {"shortStatus", [](A a, std::uint32_t) { a.setStatusReply(shortStatus); }},
    {"delay", [](A a, std::uint32_t at) { a.setTransferDelay(std::chrono::microseconds(at % 8)); }},
    {"rebootFails", [](A a, std::uint32_t) { a.setRebootFails(true); }},
    {"noWorker", nullptr},
    {"unplug", nullptr},         // the unit on the bus leaves, and the removal is announced
    {"removalNotice", nullptr},  // a removal is announced (another interface); the unit stays
    {"plugA", nullptr},          // A is on the bus (B leaves first), and its arrival is announced
    {"plugB", nullptr},          // B, another unit with another image, replaces A likewise
};
// What unit A holds when the run starts: nothing, the run's image, another one, the first half of
// the run's image, or the run's image and more.
const char* const heldNames[] = {"blank", "same", "other", "shorter", "longer"};

struct Mishap {
    std::uint32_t kind = 0, at = 0;
};
struct Schedule {
    std::size_t imageSize = 1;
    std::size_t held = 0;
    bool threads = false;  // real worker threads, racing with the bus events
    std::vector<Mishap> mishaps;
};

void showValue(const Schedule& s, std::ostream& os) {
    os << s.imageSize << "-byte image, unit A " << heldNames[s.held]
       << (s.threads ? ", threads" : "") << ":";
    for (const Mishap& m : s.mishaps) {
        os << " " << kinds[m.kind].name << "@" << m.at;
    }
}

rc::Gen<Schedule> schedules() {
    using namespace rc;
    // inRange scales with the size; the mishaps' fields are drawn from their whole ranges.
    const Gen<Mishap> mishap = gen::resize(
        100, gen::build<Mishap>(gen::set(&Mishap::kind, gen::inRange<std::uint32_t>(0, 14)),
                                gen::set(&Mishap::at, gen::inRange<std::uint32_t>(0, 36))));
    return gen::build<Schedule>(
        gen::set(&Schedule::imageSize, gen::inRange<std::size_t>(1, 260)),
        gen::set(&Schedule::held, gen::inRange<std::size_t>(0, 5)),
        gen::set(&Schedule::threads, gen::weightedElement<bool>({{15, false}, {1, true}})),
        gen::set(&Schedule::mishaps, gen::resize(8, gen::container<std::vector<Mishap>>(mishap))));
}

// A front end that hands the engine the image of whichever unit was opened, as the window does.
struct Listener final : UpdaterListener {
    void onDeviceConnected() override { updater->setFirmwareImage(image->data(), image->size()); }
    void onDeviceDisconnected() override {}
    void onDeviceAccessDenied() override {}
    void onRunStarted() override { ++starts; }
    void onRunProgress() override {}
    void onRunEnded(const RunEnd& end) override { ends.push_back(end.outcome); }
    Updater* updater = nullptr;
    const Bytes* image = nullptr;
    int starts = 0;
    std::vector<RunOutcome> ends;  // how runs ended
};

// Unit A is opened and updated with `image`; unit B holds and is offered another. Requests made
// while the bus changes (the identification of an arriving unit) are the event's; every other
// request must be one of the run's.
void runCase(const Schedule& s) {
    const Bytes image = test::makeImage(s.imageSize, "2.0.0+5");
    const Bytes imageB = test::makeImage(s.imageSize + 64, "1.0.0+1", 9);
    Bytes longer = image;
    longer.resize(image.size() + 40, 0x5A);
    const Bytes held[] = {{},
                          image,
                          test::makeImage(s.imageSize, "1.0.0+1", 7),
                          Bytes(image.begin(), image.begin() + image.size() / 2),
                          longer};
    const auto a = SimulatedUnit::create({.image = held[s.held]});
    const auto b = SimulatedUnit::create({.serial = u"T1X00002", .image = imageB});
    b->detach();
    sim::SimulatedDeviceAccess devices(a);
    std::shared_ptr<SimulatedUnit> onBus = a;

    std::uint32_t launches = 0, started = 0, noWorkerAt = UINT32_MAX;
    std::vector<std::function<void()>> pending;
    const auto launcher = [&](std::function<void()> work) {
        if (launches++ == noWorkerAt) {
            return false;
        }
        ++started;
        pending.push_back(std::move(work));
        return !s.threads || launchDetachedThread(std::move(pending.back()));
    };
    const auto queue = std::make_shared<sim::CompletionQueue>();
    test::RecordingLog log;
    Listener listener;
    Updater updater(&listener, devices, queue, log, launcher);
    listener.updater = &updater;
    listener.image = &image;
    updater.connectDevice();
    const unsigned runConnection = a->requests().back().connection;
    const std::size_t from = a->requestCount();
    for (const Mishap& m : s.mishaps) {
        if (kinds[m.kind].onUnit != nullptr) {
            kinds[m.kind].onUnit(*a, m.at);
        }
        noWorkerAt = m.kind == noWorker ? m.at : noWorkerAt;
    }

    std::vector<std::pair<std::size_t, std::size_t>> eventRecords[2];  // [first, end) of A, B
    std::size_t closedAt = SIZE_MAX;  // A's requests when the run's unit was first closed
    const auto close = [&] {
        closedAt = std::min(closedAt, a->requestCount());
        updater.disconnectDevice();
    };
    const auto plug = [&](const std::shared_ptr<SimulatedUnit>& unit, const Bytes& offered) {
        if (onBus != unit && onBus->present()) {
            onBus->detach();
            close();
        }
        onBus = unit;
        unit->attach();
        devices.plug(unit);
        listener.image = &offered;
        updater.connectDevice();
    };
    const auto busEvents = [&](std::uint32_t step) {
        for (const Mishap& m : s.mishaps) {
            const std::size_t before[2] = {a->requestCount(), b->requestCount()};
            if (m.at == step && m.kind == unplug) {
                onBus->detach();
            }
            if (m.at == step && (m.kind == unplug || m.kind == removalNotice)) {
                close();
            }
            if (m.at == step && (m.kind == plugA || m.kind == plugB)) {
                m.kind == plugA ? plug(a, image) : plug(b, imageB);
            }
            eventRecords[0].emplace_back(before[0], a->requestCount());
            eventRecords[1].emplace_back(before[1], b->requestCount());
        }
    };

    updater.startUpdate();
    for (std::uint32_t k = 0; updater.state() != UpdateState::Idle; ++k) {
        RC_ASSERT(k < 64u);
        busEvents(2 * k);
        RC_ASSERT(pending.size() == 1u);  // one request in flight, never more
        if (!s.threads) {
            pending.back()();
        }
        pending.clear();
        busEvents(2 * k + 1);
        const auto completion = queue->waitNext(test::patience);
        RC_ASSERT(completion.has_value());
        updater.onTransferComplete(completion->success, completion->bytesTransferred);
    }
    updater.disconnectDevice();
    for (int waited = 0; queue->postedTotal() < started && waited < 30000; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    RC_ASSERT(pending.empty() && queue->waiting() == 0u);           // nothing started after the end
    RC_ASSERT(listener.starts == 1 && listener.ends.size() == 1u);  // started, then ended once
    RC_ASSERT(a->openHandles() == 0u && b->openHandles() == 0u);
    // The run's requests go to the unit it started on, on the connection it started with; once
    // that unit was closed, none but the one in flight then. Any other is a bus event's.
    std::vector<test::RunRequest> run;
    std::size_t afterClose = 0;
    const std::shared_ptr<SimulatedUnit> units[2] = {a, b};
    for (int u = 0; u < 2; ++u) {
        const std::vector<sim::WireRequest> wire = units[u]->requests();
        for (std::size_t i = u == 0 ? from : 0; i < wire.size(); ++i) {
            if (u == 0 && wire[i].connection == runConnection) {
                run.push_back(test::runRequest(wire[i]));
                afterClose += i >= closedAt ? 1 : 0;
                continue;
            }
            RC_ASSERT(std::any_of(eventRecords[u].begin(), eventRecords[u].end(), [i](auto range) {
                return i >= range.first && i < range.second;
            }));
        }
    }
    RC_ASSERT(afterClose <= 1u);
    const bool succeeded = listener.ends[0] == RunOutcome::updated;
    RC_ASSERT(test::brokenRule(run, image, succeeded) == std::string());
    RC_ASSERT(!succeeded || a->image() == image);
    RC_ASSERT(succeeded || !s.mishaps.empty());
}

RC_GTEST_PROP(UpdaterProperty, WholeRunsKeepToTheirUnitAndImage, ()) {
    runCase(*schedules());
}

}  // namespace
}  // namespace tavik
