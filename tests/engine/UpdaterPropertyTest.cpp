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

#include "engine/Updater.hpp"
#include "sim/CompletionQueue.hpp"
#include "sim/SimulatedDeviceAccess.hpp"
#include "sim/SimulatedUnit.hpp"
#include "support/EngineHarness.hpp"
#include "support/TestImages.hpp"

namespace tavik {
namespace {

using Bytes = std::vector<std::uint8_t>;
using sim::SimulatedUnit;

// What unit A holds when the run starts, against the run's image.
enum class Held { blank, same, other, shorter, longer };
// A fault of unit A or of the host, or an event on the bus, at step `at` of the run.
enum class What {
    stall,
    fail,
    vanish,
    corrupt,
    extra,
    badStatus,
    shortStatus,
    delay,
    rebootFails,
    noWorker,
    unplug,         // the unit on the bus leaves, and its removal is announced
    removalNotice,  // a removal is announced (another interface), the unit stays
    plugA,          // unit A is on the bus (B leaves first), and its arrival is announced
    plugB,          // unit B, another unit with another image, replaces A likewise
};
constexpr const char* whatNames[] = {
    "stall", "fail",        "vanish",   "corrupt", "extra",         "badStatus", "shortStatus",
    "delay", "rebootFails", "noWorker", "unplug",  "removalNotice", "plugA",     "plugB"};
constexpr const char* heldNames[] = {"blank", "same", "other", "shorter", "longer"};

struct Mishap {
    What what = What::stall;
    // A fault's request index in the run; an event's step: 2k before request k's transfer,
    // 2k + 1 after it and before its completion is handled.
    std::uint32_t at = 0;
};

struct Schedule {
    std::size_t imageSize = 1;
    Held held = Held::blank;
    bool threads = false;  // real worker threads; events then race with the transfer in flight
    std::vector<Mishap> mishaps;
};

void showValue(const Schedule& s, std::ostream& os) {
    os << s.imageSize << "-byte image, unit A " << heldNames[static_cast<int>(s.held)]
       << (s.threads ? ", threads" : "") << ":";
    for (const Mishap& m : s.mishaps) {
        os << " " << whatNames[static_cast<int>(m.what)] << "@" << m.at;
    }
}

rc::Gen<Schedule> schedules() {
    using namespace rc;
    const Gen<Mishap> mishap =
        gen::build<Mishap>(gen::set(&Mishap::what, gen::cast<What>(gen::inRange(0, 14))),
                           gen::set(&Mishap::at, gen::inRange<std::uint32_t>(0, 36)));
    return gen::build<Schedule>(
        gen::set(&Schedule::imageSize, gen::inRange<std::size_t>(1, 260)),
        gen::set(&Schedule::held, gen::cast<Held>(gen::inRange(0, 5))),
        gen::set(&Schedule::threads, gen::weightedElement<bool>({{15, false}, {1, true}})),
        gen::set(&Schedule::mishaps,
                 gen::resize(8, gen::container<std::vector<Mishap>>(gen::resize(100, mishap)))));
}

struct NoLog final : Log {
    void write(std::string_view) override {}
};

// A front end that hands the engine the image of whichever unit was opened, as the window does,
// and keeps how runs ended.
struct Listener final : UpdaterListener {
    void onDeviceConnected() override { updater->setFirmwareImage(image->data(), image->size()); }
    void onDeviceDisconnected() override {}
    void onDeviceAccessDenied() override {}
    void onUpdateState(std::int32_t code) override {
        if (code == runSucceeded || code == runFailed) {
            ends.push_back(code);
        }
    }
    Updater* updater = nullptr;
    const Bytes* image = nullptr;
    std::vector<std::int32_t> ends;
};

// One case: unit A is opened and updated with `image`; unit B holds and is offered another.
// Requests made while the bus changes (the identification of an arriving unit) are the
// event's; every other request must be one of the run's.
void runCase(const Schedule& s) {
    const Bytes image = test::makeImage(s.imageSize, "2.0.0+5");
    const Bytes imageB = test::makeImage(s.imageSize + 64, "1.0.0+1", 9);
    Bytes held;
    switch (s.held) {
        case Held::blank:
            break;
        case Held::same:
        case Held::longer:
            held = image;
            held.resize(image.size() + (s.held == Held::longer ? 40 : 0), 0x5A);
            break;
        case Held::other:
            held = test::makeImage(s.imageSize, "1.0.0+1", 7);
            break;
        case Held::shorter:
            held.assign(image.begin(), image.begin() + static_cast<long>(image.size() / 2));
            break;
    }
    const auto a = SimulatedUnit::create({.image = held});
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
        if (s.threads) {
            return Updater::launchDetachedThread(std::move(work));
        }
        pending.push_back(std::move(work));
        return true;
    };
    const auto queue = std::make_shared<sim::CompletionQueue>();
    NoLog log;
    Listener listener;
    Updater updater(&listener, devices, queue, log, launcher);
    listener.updater = &updater;
    listener.image = &image;
    updater.connectDevice();
    RC_ASSERT(updater.deviceOpen());
    const unsigned runConnection = a->requests().back().connection;
    const std::size_t from = a->requestCount();

    for (const Mishap& m : s.mishaps) {
        const std::uint64_t k = from + m.at;
        switch (m.what) {
            case What::stall:
                a->addFault(sim::Fault::stall, k);
                break;
            case What::fail:
                a->addFault(sim::Fault::fail, k);
                break;
            case What::vanish:
                a->addFault(sim::Fault::vanish, k);
                break;
            case What::corrupt:
                a->corruptBlock(static_cast<std::uint16_t>(m.at % 5));
                break;
            case What::extra:
                a->setExtraReadBackBytes(m.at + 1);
                break;
            case What::badStatus:
                a->setStatusReply({0x0F, 0, 0, 0, 0x0A, 0});
                break;
            case What::shortStatus:
                a->setStatusReply({0, 0, 0, 0, 2});
                break;
            case What::delay:
                a->setTransferDelay(std::chrono::microseconds(m.at % 8));
                break;
            case What::rebootFails:
                a->setRebootFails(true);
                break;
            case What::noWorker:
                noWorkerAt = m.at;
                break;
            default:
                break;
        }
    }

    // Record indexes of A and B that belong to bus events rather than to the run.
    std::vector<std::pair<std::size_t, std::size_t>> eventRecords[2];
    const auto plug = [&](const std::shared_ptr<SimulatedUnit>& unit, const Bytes& offered) {
        if (onBus != unit && onBus->present()) {
            onBus->detach();
            updater.disconnectDevice();
        }
        onBus = unit;
        unit->attach();
        devices.plug(unit);
        listener.image = &offered;
        updater.connectDevice();
    };
    const auto busEvents = [&](std::uint32_t step) {
        for (const Mishap& m : s.mishaps) {
            if (m.at != step) {
                continue;
            }
            const std::size_t before[2] = {a->requestCount(), b->requestCount()};
            switch (m.what) {
                case What::unplug:
                    onBus->detach(), updater.disconnectDevice();
                    break;
                case What::removalNotice:
                    updater.disconnectDevice();
                    break;
                case What::plugA:
                    plug(a, image);
                    break;
                case What::plugB:
                    plug(b, imageB);
                    break;
                default:
                    break;
            }
            eventRecords[0].emplace_back(before[0], a->requestCount());
            eventRecords[1].emplace_back(before[1], b->requestCount());
        }
    };

    updater.startUpdate();
    for (std::uint32_t k = 0; updater.state() != UpdateState::Idle; ++k) {
        RC_ASSERT(k < 64u);
        busEvents(2 * k);
        if (!s.threads) {
            RC_ASSERT(pending.size() == 1u);  // one request in flight, never more
            pending.back()();
            pending.clear();
        }
        busEvents(2 * k + 1);
        const auto completion = queue->waitNext(test::patience);
        RC_ASSERT(completion.has_value());
        updater.onTransferComplete(completion->success, completion->bytesTransferred);
    }
    updater.disconnectDevice();
    for (auto waited = test::patience; queue->postedTotal() < started && waited.count() > 0;
         waited -= std::chrono::milliseconds(1)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    RC_ASSERT(listener.ends.size() == 1u);
    RC_ASSERT(a->openHandles() == 0u);
    RC_ASSERT(b->openHandles() == 0u);
    bool restartSent = false;
    const std::shared_ptr<SimulatedUnit> units[2] = {a, b};
    for (int u = 0; u < 2; ++u) {
        const std::vector<sim::WireRequest> wire = units[u]->requests();
        for (std::size_t i = u == 0 ? from : 0; i < wire.size(); ++i) {
            const sim::WireRequest& r = wire[i];
            const std::uint16_t length = r.setup[6] | r.setup[7] << 8;
            const std::size_t offset = static_cast<std::size_t>(r.setup[2] | r.setup[3] << 8) * 64;
            RC_ASSERT(r.hostLength == length);
            // Whatever reaches a unit's flash is a piece of the run's image at its own offset.
            if (r.kind == sim::RequestKind::download && !r.data.empty()) {
                RC_ASSERT(offset + r.data.size() <= image.size());
                RC_ASSERT(std::equal(r.data.begin(), r.data.end(), image.begin() + offset));
            }
            bool event = false;
            for (const auto& [first, end] : eventRecords[u]) {
                event = event || (i >= first && i < end);
            }
            if (!event) {
                // The run's requests go to the unit it started on, on the connection it started
                // with: none after that unit was closed, whatever was opened meanwhile.
                RC_ASSERT(u == 0);
                RC_ASSERT(r.connection == runConnection);
                restartSent = restartSent || r.kind == sim::RequestKind::rebootToApp;
            }
        }
    }
    if (listener.ends[0] == UpdaterListener::runSucceeded) {
        RC_ASSERT(a->image() == image);
        RC_ASSERT(restartSent);
    }
    if (s.mishaps.empty()) {
        RC_ASSERT(listener.ends[0] == UpdaterListener::runSucceeded);
    }
}

RC_GTEST_PROP(UpdaterProperty, WholeRunsKeepToTheirUnitAndImage, ()) {
    runCase(*schedules());
}

}  // namespace
}  // namespace tavik
