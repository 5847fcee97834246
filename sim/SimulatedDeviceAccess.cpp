#include "sim/SimulatedDeviceAccess.hpp"

namespace tavik::sim {

OpenResult SimulatedDeviceAccess::openDevice() {
    ++opens_;
    if (failure_) {
        return *failure_;
    }
    if (unit_ && unit_->present()) {
        if (const DeviceResult refusal = unit_->openRefusal(); !refusal.ok()) {
            return {.result = refusal, .deviceNotFound = false, .device = nullptr};
        }
    }
    std::shared_ptr<UsbTransport> device = unit_ ? unit_->open() : nullptr;
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
