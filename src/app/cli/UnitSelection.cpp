#include "app/cli/UnitSelection.hpp"

#include <algorithm>
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
    if (!identified.result.ok()) {
        return {.result = identified.result, .deviceNotFound = false, .device = nullptr};
    }
    std::vector<ListedUnit> matches;
    std::copy_if(identified.units.begin(), identified.units.end(), std::back_inserter(matches),
                 [this](const ListedUnit& unit) {
                     return unit.identified() && unit.identity.serial == *serial_;
                 });
    if (matches.size() == 1) {
        return devices_.openUnit(matches.front().key);
    }
    if (matches.size() > 1) {
        return refuse(Refusal::sameSerial, std::move(matches));
    }
    const auto denied = std::find_if(
        identified.units.begin(), identified.units.end(),
        [](const ListedUnit& unit) { return unit.open.status == DeviceStatus::accessDenied; });
    if (denied != identified.units.end()) {
        // The serial may well be the one of the unit this user may not open.
        return {.result = denied->open, .deviceNotFound = false, .device = nullptr};
    }
    return refuse(Refusal::serialNotFound, std::move(identified.units));
}

OpenResult UnitSelection::refuse(Refusal why, std::vector<ListedUnit> units) {
    refusal_ = why;
    listed_ = std::move(units);
    return {.result = {.status = DeviceStatus::notFound, .code = hrNotFound},
            .deviceNotFound = why == Refusal::serialNotFound,
            .device = nullptr};
}

}  // namespace tavik::cli
