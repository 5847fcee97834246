#include "sim/ScenarioUnit.hpp"

#include "firmware/FirmwareImage.hpp"

namespace tavik::sim {

ScenarioUnit makeScenarioUnit(const UnitScenario& scenario, const ScenarioFileReader& readFile) {
    UnitConfig config = scenario.unit;
    switch (scenario.imageKind) {
        case UnitScenario::ImageKind::blank:
            break;
        case UnitScenario::ImageKind::embedded: {
            const FirmwareImage image = loadFirmwareImage(scenario.embeddedId);
            if (image.data == nullptr) {
                return {nullptr,
                        "the program carries no image " + std::to_string(scenario.embeddedId)};
            }
            config.image.assign(image.data, image.data + image.size);
            if (scenario.versionText) {
                setVersionText(config.image, *scenario.versionText);
            }
            break;
        }
        case UnitScenario::ImageKind::file:
            if (!readFile(scenario.imageFile, config.image)) {
                return {nullptr, "cannot read image file " + scenario.imageFile};
            }
            break;
    }

    auto unit = SimulatedUnit::create(std::move(config));
    for (const UnitScenario::PlannedFault& f : scenario.faults) {
        unit->addFault(f.fault, f.k, f.kind);
    }
    if (scenario.statusReply) {
        unit->setStatusReply(*scenario.statusReply);
    }
    for (std::uint16_t block : scenario.corruptBlocks) {
        unit->corruptBlock(block);
    }
    unit->setExtraReadBackBytes(scenario.extraBytes);
    unit->setTransferDelay(scenario.delay);
    unit->setRebootFails(scenario.rebootFails);
    unit->setNotReady(scenario.notReadySpan, scenario.notReady);
    if (!scenario.presentAtStart) {
        unit->detach();
    }
    return {std::move(unit), {}};
}

}  // namespace tavik::sim
