#include "sim/SimulatedDeviceAccess.hpp"

namespace tavik::sim {

namespace {

std::string keyOf(std::size_t index) {
    return "unit-" + std::to_string(index + 1);
}

}  // namespace

OpenResult SimulatedDeviceAccess::openDevice() {
    for (const auto& unit : units_) {
        if (unit->present()) {
            return open(unit);
        }
    }
    return open(nullptr);
}

UnitList SimulatedDeviceAccess::listUnits() {
    UnitList list;
    for (std::size_t i = 0; i < units_.size(); ++i) {
        if (units_[i]->present()) {
            list.keys.push_back(keyOf(i));
        }
    }
    return list;
}

OpenResult SimulatedDeviceAccess::openUnit(const std::string& key) {
    for (std::size_t i = 0; i < units_.size(); ++i) {
        if (keyOf(i) == key) {
            return open(units_[i]);
        }
    }
    return open(nullptr);
}

void SimulatedDeviceAccess::plug(std::shared_ptr<SimulatedUnit> unit) {
    units_.clear();
    if (unit) {
        units_.push_back(std::move(unit));
    }
}

OpenResult SimulatedDeviceAccess::open(const std::shared_ptr<SimulatedUnit>& unit) {
    ++opens_;
    if (failure_) {
        return *failure_;
    }
    if (unit && unit->present()) {
        if (const DeviceResult refusal = unit->openRefusal(); !refusal.ok()) {
            return {.result = refusal, .deviceNotFound = false, .device = nullptr};
        }
    }
    std::shared_ptr<UsbTransport> device = unit ? unit->open() : nullptr;
    if (!device) {
        return {.result = {.status = DeviceStatus::notFound, .code = hrNotFound},
                .deviceNotFound = true,
                .device = nullptr};
    }
    return {.result = {}, .deviceNotFound = false, .device = std::move(device)};
}

void SimulatedDeviceAccess::failOpens(DeviceResult result, bool deviceNotFound) {
    failure_ = OpenResult{.result = result, .deviceNotFound = deviceNotFound, .device = nullptr};
}

}  // namespace tavik::sim
