#include "app/cli/UnitSelection.hpp"

#include <algorithm>
#include <random>
#include <thread>
#include <utility>

namespace tavik::cli {

OpenResult UnitSelection::openDevice() {
    refusal_ = Refusal::none;
    listed_.clear();
    UnitList list = devices_.listUnits();
    if (!serial_) {
        if (!list.result.ok() || list.keys.size() <= 1) {
            return devices_.openDevice();
        }
        return refuse(Refusal::severalUnits, identifyUnits(devices_, std::move(list)).units);
    }

    IdentifiedUnits identified = identifyUnits(devices_, std::move(list));
    std::vector<ListedUnit> matches = matching(identified);
    // A unit held elsewhere may be the one: another tavik-cli working on another unit side by
    // side holds each unit for a moment to read its serial.
    // Only the busy units are asked again, each time after a pause of its own length, so that
    // two processes that met on a unit do not meet again in step.
    for (int retry = 0; retry < busyRetries && matches.empty() && anyBusy(identified); ++retry) {
        pause();
        for (ListedUnit& unit : identified.units) {
            if (unit.open.status == DeviceStatus::busy) {
                IdentifiedUnits again = identifyUnits(devices_, {.result = {}, .keys = {unit.key}});
                unit = std::move(again.units.front());
            }
        }
        matches = matching(identified);
    }
    if (!identified.result.ok()) {
        return {.result = identified.result, .deviceNotFound = false, .device = nullptr};
    }
    if (matches.size() == 1) {
        return openChosen(matches.front().key);
    }
    if (matches.size() > 1) {
        return refuse(Refusal::sameSerial, std::move(matches));
    }
    // The serial may well be the one of a unit this user may not open, or that another program
    // holds.
    for (const DeviceStatus status : {DeviceStatus::accessDenied, DeviceStatus::busy}) {
        const auto unread =
            std::find_if(identified.units.begin(), identified.units.end(),
                         [status](const ListedUnit& unit) { return unit.open.status == status; });
        if (unread != identified.units.end()) {
            return {.result = unread->open, .deviceNotFound = false, .device = nullptr};
        }
    }
    return refuse(Refusal::serialNotFound, std::move(identified.units));
}

std::vector<ListedUnit> UnitSelection::matching(const IdentifiedUnits& identified) const {
    std::vector<ListedUnit> matches;
    std::copy_if(identified.units.begin(), identified.units.end(), std::back_inserter(matches),
                 [this](const ListedUnit& unit) {
                     return unit.identified() && unit.identity.serial == *serial_;
                 });
    return matches;
}

bool UnitSelection::anyBusy(const IdentifiedUnits& identified) {
    return std::any_of(
        identified.units.begin(), identified.units.end(),
        [](const ListedUnit& unit) { return unit.open.status == DeviceStatus::busy; });
}

// The unit chosen may be held for a moment as well: asked again a few times before the failure
// stands.
OpenResult UnitSelection::openChosen(const std::string& key) {
    OpenResult open = devices_.openUnit(key);
    for (int retry = 0; retry < busyRetries && open.result.status == DeviceStatus::busy; ++retry) {
        pause();
        open = devices_.openUnit(key);
    }
    return open;
}

// Between half and one and a half busyRetryInterval, at random.
void UnitSelection::pause() {
    std::uniform_int_distribution<long> spread(busyRetryInterval.count() / 2,
                                               busyRetryInterval.count() * 3 / 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(spread(random_)));
}

OpenResult UnitSelection::refuse(Refusal why, std::vector<ListedUnit> units) {
    refusal_ = why;
    listed_ = std::move(units);
    return {.result = {.status = DeviceStatus::notFound, .code = hrNotFound},
            .deviceNotFound = why == Refusal::serialNotFound,
            .device = nullptr};
}

}  // namespace tavik::cli
