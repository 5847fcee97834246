#include "sim/umockdev/UsbfsNode.hpp"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <thread>
#include <utility>

#include "device/UsbProtocol.hpp"

namespace tavik::sim {

namespace {

constexpr std::size_t setupLength = 8;

// What the usbfs of a current kernel offers and this node honours (nothing it would have to
// emulate beyond control URBs).
constexpr std::uint32_t capabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                       USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                       USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

// The transfer this thread is running, so that a departure it causes spares it (disconnect()).
thread_local const UsbfsNode* runningNode = nullptr;
thread_local std::uint64_t runningId = 0;

// A URB's status as a host controller reports how the unit's transfer ended. The unit's
// transfers end in no other way than these; anything else would be a failure on the bus.
int urbStatus(DeviceStatus status) {
    switch (status) {
        case DeviceStatus::done:
            return 0;
        case DeviceStatus::stalled:
            return -EPIPE;
        case DeviceStatus::gone:
            return -ESHUTDOWN;
        default:
            return -EPROTO;
    }
}

SetupPacket parseSetup(const std::uint8_t* b) {
    return {.requestType = b[0],
            .request = b[1],
            .value = static_cast<std::uint16_t>(b[2] | b[3] << 8),
            .index = static_cast<std::uint16_t>(b[4] | b[5] << 8),
            .length = static_cast<std::uint16_t>(b[6] | b[7] << 8)};
}

// The client memory `arg` points to, `length` bytes, as local memory (a reference to release).
UMockdevIoctlData* resolve(UMockdevIoctlData* arg, std::size_t offset, std::size_t length) {
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, offset, length, &error);
    g_clear_error(&error);
    return data;
}

// The unsigned int that `arg` points to (an interface number), or nothing when unreadable.
bool readNumber(UMockdevIoctlData* arg, unsigned& value) {
    UMockdevIoctlData* data = resolve(arg, 0, sizeof value);
    if (data == nullptr) {
        return false;
    }
    std::memcpy(&value, data->data, sizeof value);
    g_object_unref(data);
    return true;
}

void unref(UMockdevIoctlData*& data) {
    if (data != nullptr) {
        g_object_unref(data);
        data = nullptr;
    }
}

}  // namespace

// One open file of the node.
struct UsbfsNode::Client {
    UMockdevIoctlClient* ioctlClient = nullptr;  // a reference, released with the objects
    // Under the node's mutex: the unit's handle (null when the unit was gone at open, or once
    // the file is closed), URBs in progress (id -> the URB's address in the client, which
    // DISCARDURB names), and completed ones waiting to be reaped, in completion order.
    std::shared_ptr<UsbTransport> connection;
    std::map<std::uint64_t, std::uintptr_t> inProgress;
    std::deque<Completion> completed;
    // umockdev's thread only: the memory of every URB submitted and not yet reaped.
    std::map<std::uint64_t, UrbObjects> urbs;

    // umockdev's thread, or the node's destructor.
    void releaseObjects() {
        for (auto& [id, objects] : urbs) {
            unref(objects.buffer);
            unref(objects.urb);
        }
        urbs.clear();
        if (ioctlClient != nullptr) {
            g_object_unref(ioctlClient);
            ioctlClient = nullptr;
        }
    }
};

UsbfsNode::UsbfsNode(std::shared_ptr<SimulatedUnit> unit, bool claimedElsewhere,
                     TaskThreads& threads)
    : unit_(std::move(unit)),
      claimedElsewhere_(claimedElsewhere),
      threads_(threads),
      handler_(umockdev_ioctl_base_new()) {
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&UsbfsNode::onIoctl), this);
    g_signal_connect(handler_, "client-connected", G_CALLBACK(&UsbfsNode::onConnected), this);
}

UsbfsNode::~UsbfsNode() {
    g_signal_handlers_disconnect_by_data(handler_, this);
    g_object_unref(handler_);
    for (auto& [ioctlClient, client] : clients_) {
        client->releaseObjects();
    }
    for (auto& client : closed_) {
        client->releaseObjects();
    }
}

gboolean UsbfsNode::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    static_cast<UsbfsNode*>(self)->ioctl(client);
    return TRUE;
}

void UsbfsNode::onConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    static_cast<UsbfsNode*>(self)->connected(client);
}

void UsbfsNode::connected(UMockdevIoctlClient* ioctlClient) {
    {
        std::lock_guard lock(mutex_);
        handlerThread_ = std::this_thread::get_id();
    }
    releaseClosedFiles();
    auto client = std::make_shared<Client>();
    client->ioctlClient = static_cast<UMockdevIoctlClient*>(g_object_ref(ioctlClient));
    std::shared_ptr<UsbTransport> connection = unit_->open();  // not under our lock
    std::lock_guard lock(mutex_);
    client->connection = std::move(connection);
    clients_[ioctlClient] = std::move(client);
}

// umockdev 0.17.16 never emits "client-vanished"; a closed file shows only as its client's
// "connected" property turning false. So closed files are looked for here: on umockdev's thread
// before each ioctl, and by the bus every few milliseconds.
void UsbfsNode::releaseClosedFiles() {
    std::vector<std::shared_ptr<UsbTransport>> handles;
    std::vector<std::shared_ptr<Client>> objects;
    {
        std::lock_guard lock(mutex_);
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (umockdev_ioctl_client_get_connected(it->first)) {
                ++it;
                continue;
            }
            Client& client = *it->second;
            if (claimedBy_ == &client) {
                claimedBy_ = nullptr;
            }
            // Transfers still running find nothing to complete; nobody would reap them.
            client.inProgress.clear();
            client.completed.clear();
            handles.push_back(std::move(client.connection));
            closed_.push_back(std::move(it->second));
            it = clients_.erase(it);
        }
        if (std::this_thread::get_id() == handlerThread_) {
            objects.swap(closed_);
        }
    }
    // Released without our lock: the unit's handle takes the unit's lock (the transfer threads
    // hold their own reference, so a handle in use is released when its transfer returns), and
    // the URBs' memory goes on umockdev's thread, the only one that touches it.
    handles.clear();
    for (auto& client : objects) {
        client->releaseObjects();
    }
}

void UsbfsNode::ioctl(UMockdevIoctlClient* ioctlClient) {
    {
        std::lock_guard lock(mutex_);
        handlerThread_ = std::this_thread::get_id();
    }
    releaseClosedFiles();
    std::shared_ptr<Client> client;
    {
        std::lock_guard lock(mutex_);
        const auto it = clients_.find(ioctlClient);
        if (it != clients_.end()) {
            client = it->second;
        }
    }
    if (!client) {
        connected(ioctlClient);
        std::lock_guard lock(mutex_);
        client = clients_[ioctlClient];
    }

    const gulong request = umockdev_ioctl_client_get_request(ioctlClient);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(ioctlClient);
    bool disconnected = false;
    {
        std::lock_guard lock(mutex_);
        disconnected = !connected_;
    }
    UrbObjects reaped;
    int error = ENOTTY;
    if (request == USBDEVFS_REAPURBNDELAY) {
        // Allowed after a disconnection, as in the kernel: completed URBs can still be reaped.
        error = reap(*client, arg, reaped);
    } else if (disconnected) {
        error = ENODEV;
    } else if (request == USBDEVFS_GET_CAPABILITIES) {
        error = getCapabilities(arg);
    } else if (request == USBDEVFS_CLAIMINTERFACE || request == USBDEVFS_DISCONNECT_CLAIM) {
        // No kernel driver is ever bound to an emulated unit, so disconnect-and-claim (libusb's
        // automatic kernel-driver detach) is a plain claim; its interface number comes first.
        error = claim(*client, arg);
    } else if (request == USBDEVFS_RELEASEINTERFACE) {
        error = release(*client, arg);
    } else if (request == USBDEVFS_SUBMITURB) {
        error = submit(client, arg);
    } else if (request == USBDEVFS_DISCARDURB) {
        error = discard(*client, arg);
    } else if (request == USBDEVFS_GETDRIVER || request == USBDEVFS_IOCTL) {
        // No kernel driver is bound to the interface: the kernel's answer to the query and to
        // a request to disconnect it (libusb_kernel_driver_active, libusb_detach_kernel_driver).
        // Any other errno would make libusb report LIBUSB_ERROR_OTHER.
        error = ENODATA;
    }
    umockdev_ioctl_client_complete(ioctlClient, error == 0 ? 0 : -1, error);
    // A reaped URB's memory is written back to the client by the completion: released after it.
    unref(reaped.buffer);
    unref(reaped.urb);
}

int UsbfsNode::getCapabilities(UMockdevIoctlData* arg) {
    UMockdevIoctlData* data = resolve(arg, 0, sizeof capabilities);
    if (data == nullptr) {
        return EFAULT;
    }
    std::memcpy(data->data, &capabilities, sizeof capabilities);
    g_object_unref(data);
    return 0;
}

int UsbfsNode::claim(Client& client, UMockdevIoctlData* arg) {
    unsigned interface = 0;
    if (!readNumber(arg, interface)) {
        return EFAULT;
    }
    if (interface != 0) {
        return ENOENT;  // the unit has interface 0 only
    }
    if (!unit_->openRefusal().ok()) {
        return EBUSY;  // just arrived: the system still holds its interface
    }
    std::lock_guard lock(mutex_);
    if (claimedElsewhere_ || (claimedBy_ != nullptr && claimedBy_ != &client)) {
        return EBUSY;
    }
    claimedBy_ = &client;
    return 0;
}

int UsbfsNode::release(Client& client, UMockdevIoctlData* arg) {
    unsigned interface = 0;
    if (!readNumber(arg, interface)) {
        return EFAULT;
    }
    std::lock_guard lock(mutex_);
    if (interface != 0 || claimedBy_ != &client) {
        return EINVAL;  // not claimed through this file
    }
    claimedBy_ = nullptr;
    return 0;
}

int UsbfsNode::submit(const std::shared_ptr<Client>& client, UMockdevIoctlData* arg) {
    UrbObjects objects;
    objects.urb = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (objects.urb == nullptr) {
        return EFAULT;
    }
    const auto* urb = reinterpret_cast<const usbdevfs_urb*>(objects.urb->data);
    const int bufferLength = urb->buffer_length;
    if (urb->type != USBDEVFS_URB_TYPE_CONTROL || (urb->endpoint & 0x7F) != 0 ||
        bufferLength < static_cast<int>(setupLength)) {
        unref(objects.urb);
        return EINVAL;  // this unit has the default pipe only
    }
    objects.buffer = resolve(objects.urb, offsetof(usbdevfs_urb, buffer),
                             static_cast<std::size_t>(bufferLength));
    if (objects.buffer == nullptr) {
        unref(objects.urb);
        return EFAULT;
    }
    const std::uint8_t* bytes = objects.buffer->data;
    const SetupPacket setup = parseSetup(bytes);
    if (setupLength + setup.length > static_cast<std::size_t>(bufferLength)) {
        unref(objects.buffer);
        unref(objects.urb);
        return EINVAL;  // the data stage does not fit the buffer
    }
    std::vector<std::uint8_t> stage(setup.length);
    if (!usb::deviceToHost(setup.requestType)) {
        std::memcpy(stage.data(), bytes + setupLength, setup.length);
    }

    std::uint64_t id = 0;
    std::shared_ptr<UsbTransport> connection;
    {
        std::lock_guard lock(mutex_);
        if (connected_ && client->connection) {
            id = nextId_++;
            client->inProgress[id] = objects.urb->client_addr;
            connection = client->connection;
        }
    }
    if (!connection) {
        unref(objects.buffer);
        unref(objects.urb);
        return ENODEV;
    }
    client->urbs[id] = objects;
    threads_.start([self = shared_from_this(), client, connection = std::move(connection), id,
                    setup, stage = std::move(stage)]() mutable {
        self->run(*client, *connection, id, setup, stage);
        // The last holder of the unit's handle may be this thread: released here, unlocked.
        connection.reset();
    });
    return 0;
}

void UsbfsNode::run(Client& client, UsbTransport& connection, std::uint64_t id,
                    const SetupPacket& setup, std::vector<std::uint8_t>& stage) {
    runningNode = this;
    runningId = id;
    std::uint32_t transferred = 0;
    const DeviceResult result = connection.controlTransfer(
        setup, stage.data(), static_cast<std::uint32_t>(stage.size()), transferred);
    runningNode = nullptr;

    Completion completion{
        .id = id, .status = urbStatus(result.status), .actualLength = transferred, .data = {}};
    if (usb::deviceToHost(setup.requestType)) {
        completion.data.assign(stage.begin(), stage.begin() + transferred);
    }
    std::lock_guard lock(mutex_);
    // Discarded, disconnected, or its file closed meanwhile: it has been completed already.
    if (client.inProgress.erase(id) > 0) {
        client.completed.push_back(std::move(completion));
    }
}

int UsbfsNode::reap(Client& client, UMockdevIoctlData* arg, UrbObjects& reaped) {
    Completion completion;
    {
        std::lock_guard lock(mutex_);
        if (client.completed.empty()) {
            return connected_ ? EAGAIN : ENODEV;
        }
        completion = std::move(client.completed.front());
        client.completed.pop_front();
    }
    const auto it = client.urbs.find(completion.id);
    if (it == client.urbs.end()) {
        return EAGAIN;
    }
    reaped = it->second;
    client.urbs.erase(it);

    auto* urb = reinterpret_cast<usbdevfs_urb*>(reaped.urb->data);
    urb->status = completion.status;
    urb->actual_length = static_cast<int>(completion.actualLength);
    if (!completion.data.empty()) {
        std::memcpy(reaped.buffer->data + setupLength, completion.data.data(),
                    completion.data.size());
    }
    // The argument points at the client's URB pointer: it is set to the reaped URB.
    UMockdevIoctlData* pointer = resolve(arg, 0, sizeof(void*));
    if (pointer == nullptr) {
        return EFAULT;
    }
    const bool set = umockdev_ioctl_data_set_ptr(pointer, 0, reaped.urb);
    g_object_unref(pointer);
    return set ? 0 : EFAULT;
}

int UsbfsNode::discard(Client& client, UMockdevIoctlData* arg) {
    std::uintptr_t address = 0;
    std::memcpy(&address, arg->data,
                std::min(sizeof address, static_cast<std::size_t>(arg->data_len)));
    std::lock_guard lock(mutex_);
    for (auto it = client.inProgress.begin(); it != client.inProgress.end(); ++it) {
        if (it->second == address) {
            client.completed.push_back(
                {.id = it->first, .status = -ENOENT, .actualLength = 0, .data = {}});
            client.inProgress.erase(it);
            return 0;
        }
    }
    return EINVAL;  // not in progress: completed already, or never submitted here
}

void UsbfsNode::disconnect() {
    std::lock_guard lock(mutex_);
    connected_ = false;
    for (auto& [ioctlClient, client] : clients_) {
        for (auto it = client->inProgress.begin(); it != client->inProgress.end();) {
            if (runningNode == this && runningId == it->first) {
                ++it;
                continue;
            }
            client->completed.push_back(
                {.id = it->first, .status = -ESHUTDOWN, .actualLength = 0, .data = {}});
            it = client->inProgress.erase(it);
        }
    }
}

}  // namespace tavik::sim
