#include "sim/SimulatedUnit.hpp"

#include <algorithm>
#include <thread>
#include <utility>

#include "device/UsbProtocol.hpp"

namespace tavik::sim {

namespace {

using usb::deviceDescriptorType;
using usb::stringDescriptorType;
constexpr std::uint16_t englishUs = usb::languageEnglishUs;
constexpr std::size_t blockSize = usb::dfuBlockSize;
// What the read-back carries beyond the stored image when told to return more than it was given.
constexpr std::uint8_t extraByte = 0xA5;

RequestKind classify(const SetupPacket& setup) {
    if (setup.requestType == usb::standardDeviceIn && setup.request == usb::getDescriptor) {
        switch (setup.value >> 8) {
            case deviceDescriptorType:
                return RequestKind::deviceDescriptor;
            case stringDescriptorType:
                return RequestKind::stringDescriptor;
            default:
                return RequestKind::other;
        }
    }
    if (setup.requestType == usb::classInterfaceIn && setup.request == usb::dfuUpload) {
        return RequestKind::upload;
    }
    if (setup.requestType == usb::classInterfaceOut && setup.request == usb::dfuDnload) {
        return RequestKind::download;
    }
    if (setup.requestType == usb::classInterfaceIn && setup.request == usb::dfuGetStatus) {
        return RequestKind::getStatus;
    }
    if (setup.requestType == usb::classInterfaceOut && setup.request == usb::rebootToApp) {
        return RequestKind::rebootToApp;
    }
    return RequestKind::other;
}

bool deviceToHost(const SetupPacket& setup) {
    return usb::deviceToHost(setup.requestType);
}

// An open unit. Holding it keeps the unit's "handles" open; they are released when the last
// holder lets go. Requests made after the unit left the bus fail, as with a real handle whose
// device is gone.
class UnitConnection final : public UsbTransport {
  public:
    UnitConnection(std::shared_ptr<SimulatedUnit> unit, unsigned connection, unsigned attachment)
        : unit_(std::move(unit)), connection_(connection), attachment_(attachment) {}
    ~UnitConnection() override { unit_->releaseHandle(); }

    DeviceResult getDescriptor(std::uint8_t type, std::uint8_t index, std::uint16_t languageId,
                               std::uint8_t* buffer, std::uint32_t length,
                               std::uint32_t& transferred) override {
        const SetupPacket setup = usb::descriptorRequest(
            type, index, languageId,
            static_cast<std::uint16_t>(std::min<std::uint32_t>(length, 0xFFFF)));
        return controlTransfer(setup, buffer, length, transferred);
    }
    DeviceResult controlTransfer(const SetupPacket& setup, std::uint8_t* buffer,
                                 std::uint32_t length, std::uint32_t& transferred) override {
        return unit_->transfer(connection_, attachment_, setup, buffer, length, transferred);
    }

  private:
    std::shared_ptr<SimulatedUnit> unit_;
    unsigned connection_;
    unsigned attachment_;
};

}  // namespace

const char* toString(RequestKind kind) {
    switch (kind) {
        case RequestKind::deviceDescriptor:
            return "device descriptor";
        case RequestKind::stringDescriptor:
            return "string descriptor";
        case RequestKind::upload:
            return "DFU_UPLOAD";
        case RequestKind::download:
            return "DFU_DNLOAD";
        case RequestKind::getStatus:
            return "DFU_GETSTATUS";
        case RequestKind::rebootToApp:
            return "REBOOT_TO_APP";
        case RequestKind::other:
            return "other";
        case RequestKind::any:
            return "any";
    }
    return "?";
}

std::shared_ptr<SimulatedUnit> SimulatedUnit::create(UnitConfig config) {
    return std::shared_ptr<SimulatedUnit>(new SimulatedUnit(std::move(config)));
}

SimulatedUnit::SimulatedUnit(UnitConfig config) : config_(std::move(config)) {}

std::shared_ptr<UsbTransport> SimulatedUnit::open() {
    std::lock_guard lock(mutex_);
    if (!present_) {
        return nullptr;
    }
    ++openHandles_;
    return std::make_shared<UnitConnection>(shared_from_this(), ++connections_, attachment_);
}

bool SimulatedUnit::present() const {
    std::lock_guard lock(mutex_);
    return present_;
}

bool SimulatedUnit::runningApplication() const {
    std::lock_guard lock(mutex_);
    return runningApplication_;
}

void SimulatedUnit::detach() {
    std::lock_guard lock(mutex_);
    if (present_) {
        leaveBus(Departure::unplugged);
    }
}

void SimulatedUnit::attach() {
    std::lock_guard lock(mutex_);
    if (present_) {
        return;
    }
    present_ = true;
    arrivedAt_ = std::chrono::steady_clock::now();
    runningApplication_ = false;
    state_ = dfuIdle;
    status_ = statusOk;
    pending_.clear();
}

void SimulatedUnit::setNotReady(std::chrono::milliseconds span, NotReady how) {
    std::lock_guard lock(mutex_);
    notReadySpan_ = span;
    notReady_ = how;
    arrivedAt_ = std::chrono::steady_clock::now();
}

DeviceResult SimulatedUnit::openRefusal() const {
    std::lock_guard lock(mutex_);
    if (notReady(NotReady::refusesOpen)) {
        return {.status = DeviceStatus::busy, .code = static_cast<HResult>(0x800700AAu)};
    }
    return {};
}

bool SimulatedUnit::notReady(NotReady how) const {
    return notReady_ == how && present_ &&
           std::chrono::steady_clock::now() - arrivedAt_ < notReadySpan_;
}

std::size_t SimulatedUnit::openHandles() const {
    std::lock_guard lock(mutex_);
    return openHandles_;
}

void SimulatedUnit::setObserver(std::shared_ptr<UnitObserver> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

void SimulatedUnit::releaseHandle() {
    std::lock_guard lock(mutex_);
    --openHandles_;
}

std::vector<std::uint8_t> SimulatedUnit::image() const {
    std::lock_guard lock(mutex_);
    return config_.image;
}

void SimulatedUnit::setImage(std::vector<std::uint8_t> image) {
    std::lock_guard lock(mutex_);
    config_.image = std::move(image);
}

std::uint8_t SimulatedUnit::dfuState() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void SimulatedUnit::addFault(Fault fault, std::uint64_t k, RequestKind kind) {
    std::lock_guard lock(mutex_);
    faults_.push_back({fault, k, kind});
}

void SimulatedUnit::setStatusReply(std::vector<std::uint8_t> reply) {
    std::lock_guard lock(mutex_);
    statusReply_ = std::move(reply);
}

void SimulatedUnit::corruptBlock(std::uint16_t block) {
    std::lock_guard lock(mutex_);
    corruptBlocks_.insert(block);
}

void SimulatedUnit::setExtraReadBackBytes(std::size_t count) {
    std::lock_guard lock(mutex_);
    extraReadBackBytes_ = count;
}

void SimulatedUnit::setTransferDelay(std::chrono::microseconds delay) {
    std::lock_guard lock(mutex_);
    delay_ = delay;
}

void SimulatedUnit::setRebootFails(bool fails) {
    std::lock_guard lock(mutex_);
    rebootFails_ = fails;
}

bool SimulatedUnit::waitUntilHeld(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return heldChanged_.wait_for(lock, timeout, [&] { return held_ >= count; });
}

void SimulatedUnit::releaseHeld() {
    std::lock_guard lock(mutex_);
    ++releases_;
    heldChanged_.notify_all();
}

std::vector<WireRequest> SimulatedUnit::requests() const {
    std::lock_guard lock(mutex_);
    return records_;
}

std::size_t SimulatedUnit::requestCount() const {
    std::lock_guard lock(mutex_);
    return records_.size();
}

unsigned SimulatedUnit::maxConcurrentTransfers() const {
    std::lock_guard lock(mutex_);
    return maxConcurrent_;
}

DeviceResult SimulatedUnit::transfer(unsigned connection, unsigned attachment,
                                     const SetupPacket& setup, std::uint8_t* buffer,
                                     std::uint32_t length, std::uint32_t& transferred) {
    transferred = 0;
    const RequestKind kind = classify(setup);
    // The host never sends more than its buffer holds, nor more than wLength announces.
    const std::uint32_t stageLength =
        buffer == nullptr ? 0 : std::min<std::uint32_t>(length, setup.length);

    std::unique_lock lock(mutex_);
    const std::size_t record = records_.size();
    WireRequest wire{.kind = kind,
                     .setup = setup.bytes(),
                     .data = {},
                     .hostLength = length,
                     .succeeded = false,
                     .unitPresent = present_ && attachment == attachment_,
                     .connection = connection,
                     .concurrent = inProgress_};
    if (!deviceToHost(setup) && stageLength > 0) {
        wire.data.assign(buffer, buffer + stageLength);
    }
    records_.push_back(std::move(wire));
    ++inProgress_;
    maxConcurrent_ = std::max(maxConcurrent_, inProgress_);

    const std::uint64_t overall = record;
    const std::uint64_t ofKind = kindCounts_[static_cast<std::size_t>(kind)]++;
    std::optional<Fault> fault = faultFor(overall, RequestKind::any);
    if (!fault) {
        fault = faultFor(ofKind, kind);
    }

    if (fault == Fault::vanish && present_) {
        leaveBus(Departure::unplugged);
    }
    if (delay_.count() > 0) {
        const auto delay = delay_;
        lock.unlock();
        std::this_thread::sleep_for(delay);
        lock.lock();
    }
    if (fault == Fault::hold) {
        const std::uint64_t ticket = releases_;
        ++held_;
        heldChanged_.notify_all();
        heldChanged_.wait(lock, [&] { return releases_ != ticket; });
        --held_;
    }

    std::vector<std::uint8_t> reply;
    // A unit that left the bus (before or while the request waited) answers nothing.
    const bool reachable = present_ && attachment == attachment_;
    DeviceStatus status = DeviceStatus::done;
    if (!reachable) {
        status = DeviceStatus::gone;
    } else if (fault == Fault::fail || notReady(NotReady::failsRequests)) {
        status = DeviceStatus::other;
    } else if (fault == Fault::stall) {
        stall();
        status = DeviceStatus::stalled;
    } else if (!answer(setup, buffer, stageLength, reply)) {
        // The only refusal that is not a stall: the restart that drops off mid-request, which the
        // unit never answers (the host sees the transfer fail on the bus, then the departure).
        status = restarting_ && rebootFails_ ? DeviceStatus::other : DeviceStatus::stalled;
    }
    const bool succeeded = status == DeviceStatus::done;

    if (succeeded && deviceToHost(setup)) {
        const std::uint32_t delivered =
            std::min<std::uint32_t>(static_cast<std::uint32_t>(reply.size()), stageLength);
        std::copy_n(reply.begin(), delivered, buffer);
        transferred = delivered;
        records_[record].data.assign(reply.begin(), reply.begin() + delivered);
    } else if (succeeded) {
        transferred = stageLength;
    }
    records_[record].succeeded = succeeded;
    --inProgress_;
    if (observer_) {
        observer_->requestEnded(records_[record]);
    }
    if (restarting_) {
        restarting_ = false;
        leaveBus(Departure::restarted);
    } else if (fault == Fault::leave && reachable) {
        leaveBus(Departure::unplugged);
    }
    return {.status = status, .code = hrOk};
}

std::optional<Fault> SimulatedUnit::faultFor(std::uint64_t index, RequestKind kind) {
    for (const PlannedFault& planned : faults_) {
        if (planned.kind == kind && planned.k == index) {
            return planned.fault;
        }
    }
    return std::nullopt;
}

bool SimulatedUnit::stall() {
    state_ = dfuError;
    status_ = statusErrStalledPacket;
    return false;
}

void SimulatedUnit::leaveBus(Departure why) {
    present_ = false;
    ++attachment_;
    if (observer_) {
        observer_->leftBus(why);
    }
}

bool SimulatedUnit::answer(const SetupPacket& setup, const std::uint8_t* out,
                           std::uint32_t outLength, std::vector<std::uint8_t>& reply) {
    const RequestKind kind = classify(setup);
    if (kind == RequestKind::deviceDescriptor || kind == RequestKind::stringDescriptor) {
        return answerDescriptor(setup, reply);
    }
    // Class requests go to interface 0, the unit's only DFU interface.
    if (kind == RequestKind::other || setup.index != 0) {
        return stall();
    }
    switch (kind) {
        case RequestKind::upload:
            return answerUpload(setup, reply);
        case RequestKind::download:
            return answerDownload(setup, out, outLength);
        case RequestKind::getStatus:
            if (statusReply_) {
                reply = *statusReply_;
            } else {
                reply = {status_, 0, 0, 0, state_, 0};  // bwPollTimeout 0, iString 0
            }
            return true;
        case RequestKind::rebootToApp:
            // It leaves the bus once the request has ended (see transfer).
            restarting_ = true;
            runningApplication_ = true;
            return !rebootFails_;
        default:
            return stall();
    }
}

bool SimulatedUnit::answerDescriptor(const SetupPacket& setup,
                                     std::vector<std::uint8_t>& reply) const {
    const auto type = static_cast<std::uint8_t>(setup.value >> 8);
    const auto index = static_cast<std::uint8_t>(setup.value);
    if (type == deviceDescriptorType) {
        reply = deviceDescriptor();
        return true;
    }
    if (index == 0) {
        reply = {4, stringDescriptorType, englishUs & 0xFF, englishUs >> 8};  // LANGID table
        return true;
    }
    if (setup.index != englishUs ||
        (index != config_.productIndex && index != config_.serialIndex)) {
        return false;  // a request error: a stall of the default pipe, cleared by the next setup
    }
    reply = stringDescriptor(index);
    return true;
}

std::vector<std::uint8_t> SimulatedUnit::arrivalDeviceDescriptor() const {
    std::lock_guard lock(mutex_);
    return fullDeviceDescriptor();
}

std::vector<std::uint8_t> SimulatedUnit::deviceDescriptor() const {
    std::vector<std::uint8_t> d = fullDeviceDescriptor();
    d.resize(std::min<std::size_t>(d.size(), config_.deviceDescriptorLength));
    return d;
}

std::vector<std::uint8_t> SimulatedUnit::fullDeviceDescriptor() const {
    return {
        18,                    // bLength
        deviceDescriptorType,  // bDescriptorType
        0x00,
        0x02,  // bcdUSB 2.00
        0x00,
        0x00,
        0x00,  // class, subclass, protocol: per interface
        64,    // bMaxPacketSize0
        static_cast<std::uint8_t>(config_.vendorId),
        static_cast<std::uint8_t>(config_.vendorId >> 8),
        static_cast<std::uint8_t>(config_.productId),
        static_cast<std::uint8_t>(config_.productId >> 8),
        0x00,
        0x01,  // bcdDevice
        1,     // iManufacturer
        config_.productIndex,
        config_.serialIndex,
        1,  // bNumConfigurations
    };
}

std::vector<std::uint8_t> SimulatedUnit::stringDescriptor(std::uint8_t index) const {
    const bool product = index == config_.productIndex;
    const std::u16string& text = product ? config_.product : config_.serial;
    const std::optional<std::uint8_t>& lengthOverride =
        product ? config_.productLength : config_.serialLength;

    std::vector<std::uint8_t> d = {0, stringDescriptorType};
    for (char16_t unit : text) {
        d.push_back(static_cast<std::uint8_t>(unit));
        d.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    if (d.size() > 0xFF) {
        d.resize(0xFF - 0xFF % 2);
    }
    if (lengthOverride) {
        // A descriptor that claims more than its text delivers only the text; one that claims
        // less than its own header still delivers the header.
        d.resize(std::min<std::size_t>(d.size(), std::max<std::size_t>(*lengthOverride, 2)));
        d[0] = *lengthOverride;
    } else {
        d[0] = static_cast<std::uint8_t>(d.size());
    }
    return d;
}

bool SimulatedUnit::answerUpload(const SetupPacket& setup, std::vector<std::uint8_t>& reply) {
    if (state_ == dfuError) {
        return stall();
    }
    // The read-back is the stored image followed by any extra bytes it was told to return.
    const std::vector<std::uint8_t>& image = config_.image;
    const std::size_t readBackSize = image.size() + extraReadBackBytes_;
    const std::size_t offset = std::size_t{setup.value} * blockSize;
    const std::size_t available = offset < readBackSize ? readBackSize - offset : 0;
    const std::size_t count = std::min({available, blockSize, std::size_t{setup.length}});
    reply.assign(count, extraByte);
    for (std::size_t i = 0; i < count && offset + i < image.size(); ++i) {
        reply[i] = image[offset + i];
    }
    if (count > 0 && corruptBlocks_.contains(setup.value)) {
        reply[0] ^= 0xFF;
    }
    pending_.clear();  // an upload abandons a download not yet ended
    // A short frame ends the upload, as DFU 1.1 has it.
    state_ = count == blockSize ? dfuUploadIdle : dfuIdle;
    return true;
}

bool SimulatedUnit::answerDownload(const SetupPacket& setup, const std::uint8_t* out,
                                   std::uint32_t outLength) {
    if (state_ == dfuError || setup.length > blockSize || outLength != setup.length) {
        return stall();
    }
    if (setup.length > 0) {
        if (setup.value == 0) {
            pending_.clear();  // block 0 starts a new download
            nextDownloadBlock_ = 0;
        } else if (state_ != dfuDnloadIdle || setup.value != nextDownloadBlock_) {
            return stall();  // out of sequence
        }
        pending_.insert(pending_.end(), out, out + outLength);
        nextDownloadBlock_ = static_cast<std::uint16_t>(setup.value + 1);
        state_ = dfuDnloadIdle;
        return true;
    }
    // The empty chunk ends the download; an empty one with nothing before it is an error.
    if (state_ != dfuDnloadIdle || setup.value != nextDownloadBlock_) {
        return stall();
    }
    config_.image = std::move(pending_);
    pending_.clear();
    state_ = dfuIdle;
    if (observer_) {
        observer_->imageStored(config_.image);
    }
    return true;
}

}  // namespace tavik::sim
