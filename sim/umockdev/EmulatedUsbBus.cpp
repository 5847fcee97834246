#include "sim/umockdev/EmulatedUsbBus.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <utility>

#include "sim/umockdev/UsbfsNode.hpp"

namespace tavik::sim {

namespace {

constexpr std::uint8_t busNumber = 1;
constexpr const char* markerName = ".tavik-emulated-usb-bus";
constexpr std::uint8_t lastDevice = 127;  // device addresses are 7 bits; 1 is the root hub's

// The configuration the unit reports in update mode: one interface, the DFU interface (class
// 0xFE, subclass 0x01, protocol 0x02: DFU mode) with its functional descriptor.
constexpr std::uint8_t configuration[] = {
    // Configuration: wTotalLength 27, one interface, value 1, bus-powered, 100 mA
    9, 0x02, 27, 0, 1, 1, 0, 0x80, 50,
    // Interface 0, alternate 0, no endpoints, class FE subclass 01 protocol 02, no string
    9, 0x04, 0, 0, 0, 0xFE, 0x01, 0x02, 0,
    // DFU functional: can download, can upload, manifestation tolerant; detach timeout 255 ms;
    // wTransferSize 64; DFU 1.1
    9, 0x21, 0x07, 0xFF, 0x00, 64, 0, 0x10, 0x01};

std::string format(const char* pattern, unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

}  // namespace

// One plug of a unit: its place on the bus and its node, for as long as the bus lives (the node
// answers handles opened before the unit left).
struct EmulatedUsbBus::Plugged {
    std::shared_ptr<SimulatedUnit> unit;
    BusAddress address;
    std::shared_ptr<UsbfsNode> node;
    std::shared_ptr<WireLog> wireLog;  // null: the bus's
    bool departed = false;             // left the bus; its removal is queued or announced
    bool removed = false;              // the "remove" uevent has been sent and the device is gone
};

// The bus's view of a plugged unit's events. Called with the unit's lock held.
class EmulatedUsbBus::Observer final : public UnitObserver {
  public:
    Observer(EmulatedUsbBus& bus, std::shared_ptr<Plugged> plugged)
        : bus_(bus), plugged_(std::move(plugged)) {}
    void requestEnded(const WireRequest& request) override {
        bus_.wireLogOf(*plugged_).request(request);
    }
    void imageStored(const std::vector<std::uint8_t>&) override {}
    void leftBus(Departure why) override { bus_.departed(plugged_, why); }

  private:
    EmulatedUsbBus& bus_;  // resets the units' observers before it goes
    std::shared_ptr<Plugged> plugged_;
};

EmulatedUsbBus::EmulatedUsbBus(Options options)
    : testbed_(umockdev_testbed_new()), options_(std::move(options)) {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    rootDir_ = root;
    g_free(root);
    // Threads and processes that run as another user (access denied) still find the units, and
    // can make their emulated netlink sockets here: umockdev names them after the file
    // descriptor and leaves them behind, so the folder must let anyone replace another's.
    ::chmod(rootDir_.c_str(), 0777);
    if (!options_.wireLog.empty()) {
        wireLog_.open(std::fopen(options_.wireLog.c_str(), "wb"));
    }
    // A file only the testbed's /sys has: the preload library shows it as /sys/NAME.
    if (std::FILE* marker = std::fopen((rootDir_ + "/sys/" + markerName).c_str(), "w")) {
        std::fclose(marker);
    }
    service_ = std::thread([this] { serve(); });
}

bool EmulatedUsbBus::seenByThisProcess() const {
    return ::access(("/sys/" + std::string(markerName)).c_str(), F_OK) == 0;
}

EmulatedUsbBus::~EmulatedUsbBus() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    service_.join();

    std::set<std::shared_ptr<SimulatedUnit>> units;
    for (const auto& plugged : plugged_) {
        units.insert(plugged->unit);
    }
    for (const auto& unit : units) {
        unit->setObserver(nullptr);
        unit->releaseHeld();
    }
    transfers_.joinAll();
    // Ends umockdev's thread (no more signals to the nodes) and removes the testbed's files.
    g_object_unref(testbed_);
    plugged_.clear();
}

std::optional<BusAddress> EmulatedUsbBus::plug(std::shared_ptr<SimulatedUnit> unit,
                                               PlugOptions options,
                                               std::shared_ptr<WireLog> wireLog) {
    unit->attach();
    BusAddress address{.bus = busNumber, .device = 0, .sysPath = {}, .node = {}};
    {
        std::lock_guard lock(mutex_);
        for (const auto& plugged : plugged_) {
            if (plugged->unit == unit && !plugged->departed) {
                return plugged->address;
            }
        }
        if (nextDevice_ > lastDevice) {
            return std::nullopt;
        }
        address.device = nextDevice_++;
    }
    address.node =
        "/dev/bus/usb/" + format("%03u", busNumber) + "/" + format("%03u", address.device);
    // Port numbers follow the device addresses, so sysfs lists the units in plug order too.
    const std::string name = std::to_string(busNumber) + "-" + std::to_string(address.device - 1);

    std::vector<std::uint8_t> descriptors = unit->arrivalDeviceDescriptor();
    descriptors.insert(descriptors.end(), std::begin(configuration), std::end(configuration));

    auto plugged = std::make_shared<Plugged>();
    plugged->unit = unit;
    plugged->wireLog = std::move(wireLog);
    plugged->node = std::make_shared<UsbfsNode>(unit, options.claimedElsewhere, transfers_);
    const std::optional<std::string> sysPath =
        addDevice(address, name, descriptors, options, *plugged->node);
    if (!sysPath) {
        return std::nullopt;
    }
    address.sysPath = *sysPath;
    plugged->address = address;
    {
        std::lock_guard lock(mutex_);
        plugged_.push_back(plugged);
    }
    unit->setObserver(std::make_shared<Observer>(*this, plugged));
    {
        std::lock_guard lock(testbedMutex_);
        umockdev_testbed_uevent(testbed_, address.sysPath.c_str(), "add");
    }
    wireLogOf(*plugged).announcement(true);
    return address;
}

// The device in sysfs with the attributes libusb reads, its node as a file that can be opened
// (umockdev makes none for a DEVNAME), and the node's ioctls answered. plug() sends the "add"
// uevent that counts once all of it is in place.
std::optional<std::string> EmulatedUsbBus::addDevice(const BusAddress& address,
                                                     const std::string& name,
                                                     const std::vector<std::uint8_t>& descriptor,
                                                     const PlugOptions& options, UsbfsNode& node) {
    const unsigned vendorId = descriptor[8] | descriptor[9] << 8;
    const unsigned productId = descriptor[10] | descriptor[11] << 8;
    const unsigned release = descriptor[12] | descriptor[13] << 8;
    // Values end with a newline, as the kernel's do (libusb warns otherwise).
    const std::string attributes[][2] = {
        {"idVendor", format("%04x\n", vendorId)},
        {"idProduct", format("%04x\n", productId)},
        {"bcdDevice", format("%04x\n", release)},
        {"busnum", format("%u\n", address.bus)},
        {"devnum", format("%u\n", address.device)},
        {"speed", "480\n"},
        {"bConfigurationValue", "1\n"},
        {"bNumConfigurations", "1\n"},
    };
    const std::string properties[][2] = {
        {"DEVTYPE", "usb_device"},
        {"BUSNUM", format("%03u", address.bus)},
        {"DEVNUM", format("%03u", address.device)},
        {"DEVNAME", address.node},
        {"PRODUCT", format("%x/", vendorId) + format("%x/", productId) + format("%x", release)},
    };
    std::vector<const gchar*> attributeList;
    for (const auto& [key, value] : attributes) {
        attributeList.push_back(key.c_str());
        attributeList.push_back(value.c_str());
    }
    attributeList.push_back(nullptr);
    std::vector<const gchar*> propertyList;
    for (const auto& [key, value] : properties) {
        propertyList.push_back(key.c_str());
        propertyList.push_back(value.c_str());
    }
    propertyList.push_back(nullptr);

    std::lock_guard lock(testbedMutex_);
    // The node's file and its ioctls first: umockdev announces a device the moment it is added
    // (add_devicev sends an "add" uevent of its own), and a host that opens the node before its
    // ioctl socket exists fails to reach it ("Failed to connect to ioctl socket").
    const std::filesystem::path file = rootDir_ + address.node;
    std::error_code ignored;
    std::filesystem::create_directories(file.parent_path(), ignored);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    GError* error = nullptr;
    const bool attached = fd >= 0 && umockdev_testbed_attach_ioctl(testbed_, address.node.c_str(),
                                                                   node.handler(), &error);
    g_clear_error(&error);
    if (fd >= 0) {
        ::fchmod(fd, options.accessDenied ? 0000 : 0666);
        ::close(fd);
    }
    if (!attached) {
        ::unlink(file.c_str());
        return std::nullopt;
    }
    // Whoever may open the node may also reach its ioctl socket.
    ::chmod((rootDir_ + "/ioctl" + address.node).c_str(), 0777);

    gchar* created = umockdev_testbed_add_devicev(testbed_, "usb", name.c_str(), nullptr,
                                                  const_cast<gchar**>(attributeList.data()),
                                                  const_cast<gchar**>(propertyList.data()));
    if (created == nullptr) {
        umockdev_testbed_detach_ioctl(testbed_, address.node.c_str(), nullptr);
        ::unlink(file.c_str());
        return std::nullopt;
    }
    const std::string sysPath = created;
    g_free(created);
    // A host that hears of the device before its descriptors are here cannot enumerate it and
    // skips it; it takes it at the second "add", which plug() sends once they are.
    std::vector<std::uint8_t> bytes = descriptor;
    umockdev_testbed_set_attribute_binary(testbed_, sysPath.c_str(), "descriptors", bytes.data(),
                                          static_cast<gint>(bytes.size()));
    return sysPath;
}

void EmulatedUsbBus::unplug(const std::shared_ptr<SimulatedUnit>& unit) {
    std::shared_ptr<Plugged> plugged;
    {
        std::lock_guard lock(mutex_);
        for (const auto& candidate : plugged_) {
            if (candidate->unit == unit && !candidate->removed) {
                plugged = candidate;
            }
        }
    }
    if (!plugged) {
        return;
    }
    unit->detach();
    departed(plugged, Departure::unplugged);  // nothing more if the observer has done it
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return plugged->removed || stopping_; });
}

void EmulatedUsbBus::waitUntilAnnounced() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] {
        return stopping_ || std::all_of(plugged_.begin(), plugged_.end(),
                                        [](const auto& p) { return !p->departed || p->removed; });
    });
}

// The unit left: its node refuses new requests at once; the host is told by the announcer.
void EmulatedUsbBus::departed(const std::shared_ptr<Plugged>& plugged, Departure why) {
    {
        std::lock_guard lock(mutex_);
        if (plugged->departed) {
            return;
        }
        plugged->departed = true;
    }
    wireLogOf(*plugged).departure(why);
    plugged->node->disconnect();
    const auto delay =
        why == Departure::restarted ? options_.restartNotice : std::chrono::milliseconds(0);
    {
        std::lock_guard lock(mutex_);
        removals_.push_back({plugged, std::chrono::steady_clock::now() + delay});
    }
    changed_.notify_all();
}

// Announces each departure when it falls due, and every few milliseconds lets the nodes notice
// files the program has closed (umockdev does not tell), so that a unit's handles are given back
// soon after libusb_close().
void EmulatedUsbBus::serve() {
    constexpr auto closedFilesPeriod = std::chrono::milliseconds(5);
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const auto now = std::chrono::steady_clock::now();
        const auto next =
            std::min_element(removals_.begin(), removals_.end(),
                             [](const Removal& a, const Removal& b) { return a.due < b.due; });
        if (next != removals_.end() && next->due <= now) {
            const std::shared_ptr<Plugged> plugged = next->plugged;
            removals_.erase(next);
            lock.unlock();
            announceRemoval(*plugged);
            lock.lock();
            plugged->removed = true;
            changed_.notify_all();
            continue;
        }
        std::vector<std::shared_ptr<UsbfsNode>> nodes;
        for (const auto& plugged : plugged_) {
            nodes.push_back(plugged->node);
        }
        auto wake = now + closedFilesPeriod;
        if (next != removals_.end()) {
            wake = std::min(wake, next->due);
        }
        lock.unlock();
        for (const auto& node : nodes) {
            node->releaseClosedFiles();
        }
        lock.lock();
        changed_.wait_until(lock, wake);
    }
}

// The "remove" uevent first, then the device goes: umockdev cannot send a uevent for a device
// it has already removed. The node's ioctl socket stays, so that handles still open are told
// ENODEV until the program closes them.
void EmulatedUsbBus::announceRemoval(Plugged& plugged) {
    {
        std::lock_guard testbed(testbedMutex_);
        const char* sysPath = plugged.address.sysPath.c_str();
        umockdev_testbed_uevent(testbed_, sysPath, "remove");
        umockdev_testbed_remove_device(testbed_, sysPath);
        ::unlink((rootDir_ + plugged.address.node).c_str());
    }
    wireLogOf(plugged).announcement(false);
}

WireLog& EmulatedUsbBus::wireLogOf(const Plugged& plugged) {
    return plugged.wireLog ? *plugged.wireLog : wireLog_;
}

}  // namespace tavik::sim
