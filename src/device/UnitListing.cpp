#include "device/UnitListing.hpp"

namespace tavik {

IdentifiedUnits identifyUnits(DeviceAccess& devices, UnitList list) {
    IdentifiedUnits identified{.result = list.result, .units = {}};
    for (std::string& key : list.keys) {
        ListedUnit unit;
        unit.key = std::move(key);
        OpenResult opened = devices.openUnit(unit.key);
        unit.open = opened.result;
        if (unit.open.ok() && opened.device) {
            unit.identification =
                identifyDevice(*opened.device, unitVendorId, unitProductIds[0], unitProductIds[1],
                               unitProductIds[2], unit.identity);
        } else if (unit.open.ok()) {
            unit.open = {.status = DeviceStatus::other, .code = hrOk};
        }
        identified.units.push_back(std::move(unit));
    }
    return identified;
}

}  // namespace tavik
