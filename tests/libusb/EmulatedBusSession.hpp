#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/libusb/LibusbContext.hpp"
#include "sim/SimulatedUnit.hpp"
#include "sim/umockdev/EmulatedUsbBus.hpp"

namespace tavik::test {

// How long a test waits for something the bus or another thread does. Generous: the sanitizers
// slow everything, and nothing here measures time.
inline constexpr std::chrono::milliseconds busPatience{10000};

// Whether `condition` holds within `timeout`, looked at every millisecond.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = busPatience) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline std::shared_ptr<sim::SimulatedUnit> makeUnit(std::uint16_t vendorId, std::uint16_t productId,
                                                    std::u16string serial = u"T1X00001",
                                                    std::vector<std::uint8_t> image = {}) {
    sim::UnitConfig config;
    config.vendorId = vendorId;
    config.productId = productId;
    config.serial = std::move(serial);
    config.image = std::move(image);
    return sim::SimulatedUnit::create(std::move(config));
}

// The emulated bus with one libusb session over it: the bus is made before libusb_init and
// removed after libusb_exit, as long as the test has let go of every transport it opened.
struct EmulatedBusSession {
    // Whether libusb sees the bus: false without umockdev's preload library, where it would see
    // the machine's own devices instead.
    bool ready() const { return context && bus.seenByThisProcess(); }

    sim::EmulatedUsbBus bus;
    std::shared_ptr<LibusbContext> context = LibusbContext::create().context;
};

}  // namespace tavik::test
