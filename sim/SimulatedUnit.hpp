#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "device/DeviceResult.hpp"
#include "device/SetupPacket.hpp"
#include "device/UsbProtocol.hpp"
#include "device/UsbTransport.hpp"

namespace tavik::sim {

// What a request asked for, as the unit classifies it from its setup packet.
enum class RequestKind {
    deviceDescriptor,  // GET_DESCRIPTOR, type 1
    stringDescriptor,  // GET_DESCRIPTOR, type 3
    upload,            // DFU_UPLOAD:    A1 02
    download,          // DFU_DNLOAD:    21 01
    getStatus,         // DFU_GETSTATUS: A1 03
    rebootToApp,       // the unit's own restart request: 21 F0
    other,             // anything else; the unit stalls it
    any,               // matches every kind when selecting a request to misbehave on
};

const char* toString(RequestKind kind);

// How the unit misbehaves on a selected request, and the result its transfer returns.
enum class Fault {
    stall,   // the unit refuses it (stalled) and enters dfuERROR
    fail,    // it fails on the bus without reaching the unit (other); nothing changes
    vanish,  // the unit leaves the bus as the request arrives: it and every later one are gone
    leave,   // the unit answers the request (done), then leaves the bus: later ones are gone
    hold,    // it waits inside the unit until releaseHeld(), then proceeds normally
};

// How a unit that has just arrived is not ready yet.
enum class NotReady {
    refusesOpen,    // opening it is refused as busy: the system still holds its interface
    failsRequests,  // it opens, but every request fails on the bus (other) and is not answered
};

// DFU 1.1 device states the unit goes through (bState of the status reply).
inline constexpr std::uint8_t dfuIdle = usb::dfuIdle;
inline constexpr std::uint8_t dfuDnloadIdle = 5;
inline constexpr std::uint8_t dfuUploadIdle = 9;
inline constexpr std::uint8_t dfuError = 10;
// bStatus values.
inline constexpr std::uint8_t statusOk = 0x00;
inline constexpr std::uint8_t statusErrStalledPacket = 0x0F;

// One request as the bus carried it.
struct WireRequest {
    RequestKind kind = RequestKind::other;
    std::array<std::uint8_t, 8> setup{};  // the 8 setup bytes, as on the wire
    // Host to device: the data stage sent. Device to host: the bytes the unit returned.
    std::vector<std::uint8_t> data;
    // The length the host passed with its buffer: what it asked to transfer, which must equal
    // wLength (0 for a request without a data stage) although the unit moves no more than that.
    std::uint32_t hostLength = 0;
    bool succeeded = false;
    bool unitPresent = true;  // false when the unit was already gone (the request went nowhere)
    unsigned connection = 0;  // which open() of the unit carried it, from 1
    unsigned concurrent = 0;  // other transfers still in progress when this one arrived
};

// Why the unit left the bus.
enum class Departure {
    unplugged,  // detach(), or a vanish or leave fault
    restarted,  // REBOOT_TO_APP: it restarts into its application
};

// Told of what happens on the unit's side of the bus, for whoever presents the unit to a host
// (the replacement system DLLs write the wire log and announce departures from it).
//
// Called on the thread that caused the event, with the unit's lock held and in the order the
// events happen: an observer must return quickly and must not call back into the unit.
class UnitObserver {
  public:
    virtual ~UnitObserver() = default;
    // A request has been answered (or has failed); `request` is its complete record.
    virtual void requestEnded(const WireRequest& request) = 0;
    // The empty DFU_DNLOAD has replaced the stored image with `image`.
    virtual void imageStored(const std::vector<std::uint8_t>& image) = 0;
    virtual void leftBus(Departure why) = 0;
};

// The unit as it presents itself in update mode.
struct UnitConfig {
    std::uint16_t vendorId = 0x07FD;
    std::uint16_t productId = 0x001D;
    std::uint8_t productIndex = 2;  // iProduct
    std::uint8_t serialIndex = 3;   // iSerialNumber
    std::u16string product = u"Tavik";
    std::u16string serial = u"T1X00001";
    // bLength of the string descriptors when it should not be the true length (odd values,
    // values below 4, or one larger than the text, in which case only the text is delivered).
    std::optional<std::uint8_t> productLength;
    std::optional<std::uint8_t> serialLength;
    // Bytes of the device descriptor that a read delivers (18 is a well-formed unit).
    std::uint32_t deviceDescriptorLength = 18;
    // The image the unit holds, header included; empty for a blank unit.
    std::vector<std::uint8_t> image;
};

// A faithful model of the unit in its update mode, behind the transport seam, with knobs to make
// it misbehave. Thread-safe: request workers call it from their threads while a test (or the
// benchmark, the demo, a replacement system DLL) configures and inspects it from another.
//
// Requests are numbered from 0 in arrival order over the unit's whole life, all kinds together,
// and separately per kind; a misbehaviour selects "request k" in either count.
class SimulatedUnit : public std::enable_shared_from_this<SimulatedUnit> {
  public:
    static std::shared_ptr<SimulatedUnit> create(UnitConfig config);

    // --- The bus ----------------------------------------------------------------------------
    // Opens the unit: a transport whose handles stay open as long as it lives. Null when the unit
    // is not on the bus (never attached in update mode, unplugged, vanished or restarted). Its
    // transfers end done, stalled (a stall, or a request the unit refuses), other (the fail
    // fault, or a restart that fails its request as the unit drops off the bus) or gone (the
    // unit was not on the bus, or left it while the request was under way); their code is hrOk.
    std::shared_ptr<UsbTransport> open();
    bool present() const;
    // True after REBOOT_TO_APP: the unit runs its application and is no longer in update mode.
    bool runningApplication() const;
    // The unit is unplugged: transports opened before fail every request from now on.
    void detach();
    // The unit arrives (again) in update mode, in dfuIDLE, keeping its stored image.
    void attach();
    // Transports currently alive, that is, handles not yet released.
    std::size_t openHandles() const;
    // Replaces the observer (null: none). Events before the call are not reported.
    void setObserver(std::shared_ptr<UnitObserver> observer);

    // The whole device descriptor (18 bytes), as a host reads it when the unit arrives, whatever
    // later reads are told to deliver (descriptorLength).
    std::vector<std::uint8_t> arrivalDeviceDescriptor() const;

    // --- What it holds ------------------------------------------------------------------------
    std::vector<std::uint8_t> image() const;
    void setImage(std::vector<std::uint8_t> image);
    std::uint8_t dfuState() const;

    // --- Misbehaviour -------------------------------------------------------------------------
    // Applies `fault` to request k (from 0) of `kind`, or of all requests when kind is any.
    void addFault(Fault fault, std::uint64_t k, RequestKind kind = RequestKind::any);
    // Every DFU_GETSTATUS is answered with these bytes (any length; the host's wLength cuts it).
    void setStatusReply(std::vector<std::uint8_t> reply);
    // Every DFU_UPLOAD of this block returns its first byte inverted.
    void corruptBlock(std::uint16_t block);
    // The read-back carries `count` bytes beyond the stored image.
    void setExtraReadBackBytes(std::size_t count);
    // Every transfer (descriptor reads included) takes this long before it is answered.
    void setTransferDelay(std::chrono::microseconds delay);
    // REBOOT_TO_APP still restarts the unit, but its transfer fails as the unit drops off the bus.
    void setRebootFails(bool fails);
    // For `span` after each arrival (attach), and from now on when it is on the bus already, the
    // unit is not ready, as `how` says. A zero span: ready at once (the default).
    void setNotReady(std::chrono::milliseconds span, NotReady how);
    // What opening the unit gets now: done, or busy (code HRESULT_FROM_WIN32(ERROR_BUSY)) while a
    // unit that refuses opening is not ready. The buses' open paths ask it (open() does not).
    DeviceResult openRefusal() const;

    // Blocks until at least `count` requests are held (Fault::hold), or `timeout` passes; returns
    // whether they are.
    bool waitUntilHeld(std::size_t count, std::chrono::milliseconds timeout);
    // Lets every request held now proceed.
    void releaseHeld();

    // --- Inspection ---------------------------------------------------------------------------
    std::vector<WireRequest> requests() const;
    std::size_t requestCount() const;
    // The most transfers that were ever in progress at once.
    unsigned maxConcurrentTransfers() const;

    // --- Called by the transports -------------------------------------------------------------
    DeviceResult transfer(unsigned connection, unsigned attachment, const SetupPacket& setup,
                          std::uint8_t* buffer, std::uint32_t length, std::uint32_t& transferred);
    void releaseHandle();

  private:
    explicit SimulatedUnit(UnitConfig config);

    struct PlannedFault {
        Fault fault;
        std::uint64_t k;
        RequestKind kind;
    };

    // Everything below runs with mutex_ held.
    std::optional<Fault> faultFor(std::uint64_t index, RequestKind kind);
    bool answer(const SetupPacket& setup, const std::uint8_t* out, std::uint32_t outLength,
                std::vector<std::uint8_t>& reply);
    bool answerDescriptor(const SetupPacket& setup, std::vector<std::uint8_t>& reply) const;
    bool answerUpload(const SetupPacket& setup, std::vector<std::uint8_t>& reply);
    bool answerDownload(const SetupPacket& setup, const std::uint8_t* out, std::uint32_t outLength);
    std::vector<std::uint8_t> fullDeviceDescriptor() const;
    std::vector<std::uint8_t> deviceDescriptor() const;
    std::vector<std::uint8_t> stringDescriptor(std::uint8_t index) const;
    bool stall();
    void leaveBus(Departure why);
    bool notReady(NotReady how) const;

    mutable std::mutex mutex_;
    std::condition_variable heldChanged_;

    UnitConfig config_;
    bool present_ = true;
    bool runningApplication_ = false;
    bool restarting_ = false;  // REBOOT_TO_APP answered; it leaves when the request has ended
    unsigned attachment_ = 1;  // changes on every detach, so earlier transports stay dead
    unsigned connections_ = 0;
    std::size_t openHandles_ = 0;

    std::uint8_t state_ = dfuIdle;
    std::uint8_t status_ = statusOk;
    std::vector<std::uint8_t> pending_;  // chunks of a download not yet ended
    std::uint16_t nextDownloadBlock_ = 0;

    std::vector<PlannedFault> faults_;
    std::optional<std::vector<std::uint8_t>> statusReply_;
    std::set<std::uint16_t> corruptBlocks_;
    std::size_t extraReadBackBytes_ = 0;
    std::chrono::microseconds delay_{0};
    bool rebootFails_ = false;
    std::chrono::milliseconds notReadySpan_{0};
    NotReady notReady_ = NotReady::refusesOpen;
    std::chrono::steady_clock::time_point arrivedAt_ = std::chrono::steady_clock::now();

    std::size_t held_ = 0;
    std::uint64_t releases_ = 0;

    std::shared_ptr<UnitObserver> observer_;
    std::vector<WireRequest> records_;
    std::array<std::uint64_t, 7> kindCounts_{};
    unsigned inProgress_ = 0;
    unsigned maxConcurrent_ = 0;
};

}  // namespace tavik::sim
