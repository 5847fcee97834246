#include "sim/SimulatedDeviceAccess.hpp"

namespace tavik::sim {

OpenResult SimulatedDeviceAccess::openDevice() {
    ++opens_;
    if (failure_) {
        return *failure_;
    }
    std::shared_ptr<UsbTransport> device = unit_ ? unit_->open() : nullptr;
    if (!device) {
        return {.result = hrNotFound, .deviceNotFound = true, .device = nullptr};
    }
    return {.result = hrOk, .deviceNotFound = false, .device = std::move(device)};
}

void SimulatedDeviceAccess::failOpens(HResult result, bool deviceNotFound) {
    failure_ = OpenResult{.result = result, .deviceNotFound = deviceNotFound, .device = nullptr};
}

}  // namespace tavik::sim
