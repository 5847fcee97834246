#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/SimulatedUnit.hpp"
#include "sim/UnitScenario.hpp"

namespace tavik::sim {

// The simulated unit that a scenario's [unit] section describes, ready for a bus to present it:
// its image resolved and every misbehaviour of the scenario applied; off the bus (detached)
// when the scenario has it arrive later. Where and when it is announced, and what else a
// platform's bus does with the scenario (interface class, path, access), stays with that bus.
struct ScenarioUnit {
    std::shared_ptr<SimulatedUnit> unit;  // null when `error` is set
    std::string error;                    // what could not be made, for the run's error file
};

// Reads the file NAME, as the scenario wrote it, into `bytes`; false when it cannot.
using ScenarioFileReader = std::function<bool(const std::string& name, std::vector<std::uint8_t>&)>;

// An "embedded" image is the one this process carries (loadFirmwareImage); an image "file" is
// read through `readFile`, so each platform resolves names against the scenario's folder.
ScenarioUnit makeScenarioUnit(const UnitScenario& scenario, const ScenarioFileReader& readFile);

}  // namespace tavik::sim
