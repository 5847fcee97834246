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

// Whether `condition` holds within ten seconds (generous, for the sanitizers' sake).
inline bool eventually(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
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

// The emulated bus with one libusb session over it: the bus made before libusb_init and removed
// after libusb_exit (once the test let go of its transports). Needs umockdev's preload library.
struct EmulatedBusSession {
    // A unit that left by itself is announced before the session may close (waitUntilAnnounced).
    ~EmulatedBusSession() { bus.waitUntilAnnounced(); }
    bool ready() const { return context && bus.seenByThisProcess(); }

    sim::EmulatedUsbBus bus;
    std::shared_ptr<LibusbContext> context = LibusbContext::create().context;
};

}  // namespace tavik::test
