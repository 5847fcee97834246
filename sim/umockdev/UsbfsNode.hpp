#pragma once

#include <umockdev.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/SimulatedUnit.hpp"
#include "sim/umockdev/TaskThreads.hpp"

namespace tavik::sim {

// The usbfs device node (/dev/bus/usb/BBB/DDD) of one plugged unit, answering the ioctls that
// libusb's Linux backend issues on it, as the kernel would:
//
//   GET_CAPABILITIES                  the capabilities of a current kernel's usbfs
//   CLAIMINTERFACE, RELEASEINTERFACE  interface 0 only; one open file holds it at a time, and
//                                     none while the unit is not ready to be opened (EBUSY)
//   SUBMITURB                         control URBs on endpoint 0: the setup packet at the start of
//                                     the buffer, the data stage after it; ENODEV once the unit
//                                     has left the bus
//   REAPURBNDELAY                     the next completed URB of this open file; EAGAIN when there
//                                     is none, ENODEV once the unit has left and none is left
//   DISCARDURB                        a URB still in progress completes as cancelled (-ENOENT)
//   anything else                     ENOTTY
//
// Every open file (client) keeps its own URBs: a URB is reaped only through the file that
// submitted it, so two handles open at once never see each other's transfers.
//
// The handler's signals arrive on umockdev's own thread, which must never wait for the unit:
// each submitted URB runs on a thread of its own (from `threads`), so a transfer held inside the
// unit leaves DISCARDURB, other URBs and other clients answered. The status of its transfer's
// result becomes the URB's: done 0, stalled -EPIPE (LIBUSB_ERROR_PIPE), other -EPROTO
// (LIBUSB_ERROR_IO), gone -ESHUTDOWN (LIBUSB_ERROR_NO_DEVICE), as a host controller reports them.
// The GObjects of a URB are touched on umockdev's thread only; the transfer threads see plain
// bytes.
//
// Lock order: the unit's lock, then this node's. The node calls into the unit (open, transfer,
// release) only with its own lock released.
class UsbfsNode : public std::enable_shared_from_this<UsbfsNode> {
  public:
    // `claimedElsewhere`: interface 0 is held by another program or a kernel driver, so every
    // claim fails with EBUSY. The node answers only once attached to the testbed with handler().
    UsbfsNode(std::shared_ptr<SimulatedUnit> unit, bool claimedElsewhere, TaskThreads& threads);
    UsbfsNode(const UsbfsNode&) = delete;
    UsbfsNode& operator=(const UsbfsNode&) = delete;
    // Only after umockdev's thread has ended and every transfer thread has been joined.
    ~UsbfsNode();

    UMockdevIoctlBase* handler() const { return handler_; }

    // The unit has left the bus: from now on SUBMITURB fails with ENODEV, and every URB still in
    // progress completes with -ESHUTDOWN at once, but for the one whose transfer the calling
    // thread is running (a unit that answers and then leaves or restarts has answered it; one
    // that vanishes fails it itself). Any thread; the unit's observer calls it.
    void disconnect();

    // Files the program has closed give back the unit's handle and their claim; their URBs are
    // dropped. Any thread; the bus calls it every few milliseconds, as umockdev does not say
    // when a file is closed.
    void releaseClosedFiles();

  private:
    struct Client;
    struct Completion {
        std::uint64_t id;
        int status;
        std::uint32_t actualLength;
        std::vector<std::uint8_t> data;  // device to host: the bytes returned
    };
    // A URB's memory in the client, as umockdev resolved it (references held).
    struct UrbObjects {
        UMockdevIoctlData* urb = nullptr;
        UMockdevIoctlData* buffer = nullptr;
    };

    static gboolean onIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
    static void onConnected(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
    static void onVanished(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);

    // umockdev's thread. Each returns the ioctl's errno, 0 for success.
    void connected(UMockdevIoctlClient* ioctlClient);
    void ioctl(UMockdevIoctlClient* ioctlClient);
    int getCapabilities(UMockdevIoctlData* arg);
    int claim(Client& client, UMockdevIoctlData* arg);
    int release(Client& client, UMockdevIoctlData* arg);
    int submit(const std::shared_ptr<Client>& client, UMockdevIoctlData* arg);
    int reap(Client& client, UMockdevIoctlData* arg, UrbObjects& reaped);
    int discard(Client& client, UMockdevIoctlData* arg);

    // A transfer thread.
    void run(Client& client, UsbTransport& connection, std::uint64_t id, const SetupPacket& setup,
             std::vector<std::uint8_t>& stage);

    std::shared_ptr<SimulatedUnit> unit_;
    const bool claimedElsewhere_;
    TaskThreads& threads_;
    UMockdevIoctlBase* handler_;

    std::mutex mutex_;
    bool connected_ = true;
    std::uint64_t nextId_ = 1;
    std::map<UMockdevIoctlClient*, std::shared_ptr<Client>> clients_;  // open files
    std::vector<std::shared_ptr<Client>> closed_;  // their objects still to release
    std::thread::id handlerThread_;                // umockdev's, once it has called
    const Client* claimedBy_ = nullptr;
};

}  // namespace tavik::sim
