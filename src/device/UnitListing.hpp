#pragma once

#include <string>
#include <vector>

#include "device/DeviceAccess.hpp"
#include "device/Identification.hpp"

namespace tavik {

// A listed unit and what identifying it gave.
struct ListedUnit {
    std::string key;
    // How opening it went; identification means something only when this is done.
    DeviceResult open{.status = DeviceStatus::notFound, .code = hrNotFound};
    Identification identification = Identification::notRecognised;
    // Product, serial and version, when recognised.
    DeviceIdentity identity;

    bool identified() const { return open.ok() && identification == Identification::recognised; }
};

struct IdentifiedUnits {
    // How listing went (UnitList::result).
    DeviceResult result;
    std::vector<ListedUnit> units;  // in the order of the list
};

// Identifies each unit of a list (DeviceAccess::listUnits) in turn: opens it (openUnit), reads
// what identifyDevice reads for the unit's ids, and closes it again before the next. On the
// event-loop thread, while no unit is open; logs nothing.
IdentifiedUnits identifyUnits(DeviceAccess& devices, UnitList list);

}  // namespace tavik
