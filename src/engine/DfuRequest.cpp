#include "engine/DfuRequest.hpp"

#include <algorithm>
#include <utility>

#include "device/UsbProtocol.hpp"

namespace tavik {

DfuRequest::DfuRequest(std::shared_ptr<UsbTransport> device,
                       std::shared_ptr<CompletionPoster> poster, const SetupPacket& setup,
                       std::span<const std::uint8_t> outgoing, bool hasDataStage)
    : device_(std::move(device)),
      poster_(std::move(poster)),
      setup_(setup),
      hasDataStage_(hasDataStage) {
    std::copy_n(outgoing.begin(), std::min(outgoing.size(), buffer_.size()), buffer_.begin());
}

void DfuRequest::perform() {
    std::shared_ptr<UsbTransport> device = std::move(device_);
    const std::uint32_t length = std::min<std::uint32_t>(setup_.length, buffer_.size());
    std::uint32_t transferred = 0;
    result_ = device->controlTransfer(setup_, hasDataStage_ ? buffer_.data() : nullptr,
                                      hasDataStage_ ? length : 0, transferred);
    transferred_ = std::min(transferred, length);
    device.reset();
    poster_->post(result_.ok(), transferred_);
}

std::span<const std::uint8_t> DfuRequest::received(std::uint64_t reported) const {
    if (!usb::deviceToHost(setup_.requestType)) {
        return {};
    }
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(reported, transferred_));
    return {buffer_.data(), count};
}

}  // namespace tavik
