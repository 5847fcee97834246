#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/DeviceAccess.hpp"
#include "sim/SimulatedUnit.hpp"

namespace tavik::sim {

// Finding and opening simulated units. Used on the event-loop thread only, like any
// DeviceAccess; the units themselves may be unplugged or plugged in from any thread meanwhile.
// The units are listed in the order given, those on the bus only, each under the key "unit-N"
// (N its place in that order, from 1); openDevice opens the first on the bus.
class SimulatedDeviceAccess final : public DeviceAccess {
  public:
    // `unit` may be null: no unit is attached at all.
    explicit SimulatedDeviceAccess(std::shared_ptr<SimulatedUnit> unit) { plug(std::move(unit)); }
    explicit SimulatedDeviceAccess(std::vector<std::shared_ptr<SimulatedUnit>> units)
        : units_(std::move(units)) {}

    // A unit that is not on the bus gives the not-found result with the flag set.
    OpenResult openDevice() override;
    UnitList listUnits() override;
    OpenResult openUnit(const std::string& key) override;

    // Another unit is now the one on the bus (null: none); opens reach it from now on.
    void plug(std::shared_ptr<SimulatedUnit> unit);

    // The next opens fail with this result and flag (say, access denied), whatever the unit does.
    void failOpens(DeviceResult result, bool deviceNotFound);
    void stopFailingOpens() { failure_.reset(); }
    int openCount() const { return opens_; }

  private:
    OpenResult open(const std::shared_ptr<SimulatedUnit>& unit);

    std::vector<std::shared_ptr<SimulatedUnit>> units_;
    std::optional<OpenResult> failure_;
    int opens_ = 0;
};

}  // namespace tavik::sim
