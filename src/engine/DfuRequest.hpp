#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "device/DeviceResult.hpp"
#include "device/SetupPacket.hpp"
#include "device/UsbProtocol.hpp"
#include "device/UsbTransport.hpp"
#include "runtime/CompletionPoster.hpp"

namespace tavik {

// One control request of an update run. It owns everything its worker touches (the unit's
// transport, the completion poster, the setup packet and a 64-byte buffer of its own), so the
// worker never reaches the engine or the window, and whatever happens on the event-loop thread
// meanwhile (the unit is closed, another unit is identified, the program ends) cannot pull
// anything from under the transfer. Shared by the engine, until the completion has been handled,
// and the worker, until it has posted.
class DfuRequest {
  public:
    // `outgoing` is the host-to-device data stage (at most 64 bytes, setup.length of them are
    // sent); `hasDataStage` is false for a request that passes no buffer at all.
    DfuRequest(std::shared_ptr<UsbTransport> device, std::shared_ptr<CompletionPoster> poster,
               const SetupPacket& setup, std::span<const std::uint8_t> outgoing, bool hasDataStage);

    // The worker's body: one synchronous transfer, then the completion posted. The transport
    // reference is dropped between the two, so if the unit was closed during the transfer its
    // handles are released here, only after the transfer has returned.
    void perform();

    // After the completion, on the event-loop thread: the device-to-host bytes received, never
    // more than `reported` nor than the request asked for; empty for host-to-device requests.
    std::span<const std::uint8_t> received(std::uint64_t reported) const;
    // After the completion, on the event-loop thread: how the transfer ended (the completion's
    // success flag is result().ok()).
    const DeviceResult& result() const { return result_; }

    const SetupPacket& setup() const { return setup_; }

  private:
    std::shared_ptr<UsbTransport> device_;
    std::shared_ptr<CompletionPoster> poster_;
    SetupPacket setup_;
    bool hasDataStage_;
    std::array<std::uint8_t, usb::dfuBlockSize> buffer_{};
    std::uint32_t transferred_ = 0;
    DeviceResult result_;
};

}  // namespace tavik
