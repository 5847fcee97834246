#pragma once

#include <memory>
#include <optional>

#include "device/DeviceAccess.hpp"
#include "sim/SimulatedUnit.hpp"

namespace tavik::sim {

// Finding and opening the simulated unit. Used on the event-loop thread only, like any
// DeviceAccess; the unit itself may be unplugged or plugged in from any thread meanwhile.
class SimulatedDeviceAccess final : public DeviceAccess {
  public:
    // `unit` may be null: no unit is attached at all.
    explicit SimulatedDeviceAccess(std::shared_ptr<SimulatedUnit> unit) : unit_(std::move(unit)) {}

    // A unit that is not on the bus gives the not-found result with the flag set.
    OpenResult openDevice() override;

    // Another unit is now the one on the bus (null: none); opens reach it from now on.
    void plug(std::shared_ptr<SimulatedUnit> unit) { unit_ = std::move(unit); }

    // The next opens fail with this result and flag (say, access denied), whatever the unit does.
    void failOpens(DeviceResult result, bool deviceNotFound);
    void stopFailingOpens() { failure_.reset(); }
    int openCount() const { return opens_; }

  private:
    std::shared_ptr<SimulatedUnit> unit_;
    std::optional<OpenResult> failure_;
    int opens_ = 0;
};

}  // namespace tavik::sim
