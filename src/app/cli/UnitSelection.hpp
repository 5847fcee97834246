#pragma once

#include <chrono>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "device/DeviceAccess.hpp"
#include "device/UnitListing.hpp"

namespace tavik::cli {

// The unit a command is about, as the device access the engine opens it through: with a serial,
// the one unit present that reports it; without, the unit present when there is only one. So the
// engine still opens "the unit" and knows nothing of choosing.
//
// openDevice without a serial lists the units first: with none or one present it is the
// platform's openDevice, unchanged; with several it opens nothing and refuses. With a serial it
// identifies every unit present (each opened and closed again) and opens the one whose serial
// matches, by its key; a unit that leaves between the two is not found, as when it was never
// there. Units that another program holds (busy) are asked again for about two seconds when none
// matched, and so is the unit chosen when it is busy, since another tavik-cli may be reading
// their serials. Each refusal opens nothing and returns a not-found
// result (access denied instead, when no unit matched and one could not be opened to read its
// serial, or busy when one was held).
class UnitSelection final : public DeviceAccess {
  public:
    enum class Refusal {
        none,
        severalUnits,    // no serial given, and more than one unit is present
        sameSerial,      // more than one unit reports the serial given
        serialNotFound,  // no unit present reports it
    };

    UnitSelection(DeviceAccess& devices, std::optional<std::string> serial)
        : devices_(devices), serial_(std::move(serial)) {}

    OpenResult openDevice() override;
    UnitList listUnits() override { return devices_.listUnits(); }
    OpenResult openUnit(const std::string& key) override { return devices_.openUnit(key); }

    // Why the last openDevice opened nothing of its own choosing; none after an open it made.
    Refusal refusal() const { return refusal_; }
    // The units present at the last refusal, identified, in the order of the list (with
    // sameSerial, only those that report the serial).
    const std::vector<ListedUnit>& listed() const { return listed_; }

    static constexpr int busyRetries = 40;
    static constexpr std::chrono::milliseconds busyRetryInterval{50};

  private:
    OpenResult openChosen(const std::string& key);
    std::vector<ListedUnit> matching(const IdentifiedUnits& identified) const;
    static bool anyBusy(const IdentifiedUnits& identified);
    void pause();
    OpenResult refuse(Refusal why, std::vector<ListedUnit> units);

    DeviceAccess& devices_;
    const std::optional<std::string> serial_;
    Refusal refusal_ = Refusal::none;
    std::vector<ListedUnit> listed_;
    std::minstd_rand random_{std::random_device{}()};
};

}  // namespace tavik::cli
