#include "device/libusb/LibusbDeviceAccess.hpp"

#include <libusb.h>

#include <new>
#include <string>
#include <utility>

#include "device/Identification.hpp"
#include "device/libusb/LibusbError.hpp"

namespace tavik {

namespace {

bool isUnit(libusb_device* device) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) {
        return false;
    }
    return isUnitId(descriptor.idVendor, descriptor.idProduct);
}

// The list of libusb_get_device_list, freed (and its devices unreferenced) on every path out.
class DeviceList {
  public:
    explicit DeviceList(libusb_context* context)
        : count_(libusb_get_device_list(context, &list_)) {}
    ~DeviceList() {
        if (count_ >= 0) {
            libusb_free_device_list(list_, 1);
        }
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    // The device count, or a libusb_error code.
    ssize_t count() const { return count_; }
    libusb_device* operator[](ssize_t i) const { return list_[i]; }

  private:
    libusb_device** list_ = nullptr;
    ssize_t count_;
};

// A unit's key: its bus and the ports from the root hub ("1-4.2", as the kernel names the
// device in sysfs); where the ports cannot be read, its bus and address ("1@7").
std::string keyOf(libusb_device* device) {
    std::uint8_t ports[8] = {};
    const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    std::string key = std::to_string(libusb_get_bus_number(device));
    if (depth <= 0) {
        return key + "@" + std::to_string(libusb_get_device_address(device));
    }
    for (int i = 0; i < depth; ++i) {
        // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) of `"-" + to_string(...)`.
        key += i == 0 ? '-' : '.';
        key += std::to_string(ports[i]);
    }
    return key;
}

}  // namespace

LibusbDeviceAccess::LibusbDeviceAccess() : LibusbDeviceAccess(LibusbContext::create()) {}

LibusbDeviceAccess::LibusbDeviceAccess(LibusbContext::Init init)
    : initResult_(init.result),
      context_(std::move(init.context)),
      transferTimeout_(LibusbTransport::defaultTimeout) {}

LibusbDeviceAccess::LibusbDeviceAccess(std::shared_ptr<LibusbContext> context,
                                       std::chrono::milliseconds transferTimeout)
    : initResult_(), context_(std::move(context)), transferTimeout_(transferTimeout) {}

OpenResult LibusbDeviceAccess::openDevice() {
    return openMatching([](libusb_device*) { return true; });
}

OpenResult LibusbDeviceAccess::openUnit(const std::string& key) {
    return openMatching([&key](libusb_device* device) { return keyOf(device) == key; });
}

UnitList LibusbDeviceAccess::listUnits() {
    UnitList units;
    if (!initResult_.ok() || !context_) {
        units.result =
            initResult_.ok() ? resultFromLibusb(LIBUSB_ERROR_INVALID_PARAM) : initResult_;
        return units;
    }
    const DeviceList list(context_->get());
    if (list.count() < 0) {
        units.result = resultFromLibusb(static_cast<int>(list.count()));
        return units;
    }
    for (ssize_t i = 0; i < list.count(); ++i) {
        if (isUnit(list[i])) {
            units.keys.push_back(keyOf(list[i]));
        }
    }
    return units;
}

OpenResult LibusbDeviceAccess::openMatching(const std::function<bool(libusb_device*)>& wanted) {
    OpenResult open;
    if (!initResult_.ok() || !context_) {
        open.result = initResult_.ok() ? resultFromLibusb(LIBUSB_ERROR_INVALID_PARAM) : initResult_;
        return open;
    }

    const DeviceList list(context_->get());
    if (list.count() < 0) {
        open.result = resultFromLibusb(static_cast<int>(list.count()));
        return open;
    }
    libusb_device* unit = nullptr;
    for (ssize_t i = 0; i < list.count() && unit == nullptr; ++i) {
        if (isUnit(list[i]) && wanted(list[i])) {
            unit = list[i];
        }
    }
    if (unit == nullptr) {
        open.result = {.status = DeviceStatus::notFound, .code = hrNotFound};
        open.deviceNotFound = true;
        return open;
    }

    // The handle keeps its own reference to the device, so freeing the list later is safe.
    libusb_device_handle* handle = nullptr;
    int error = libusb_open(unit, &handle);
    if (error != LIBUSB_SUCCESS) {
        open.result = resultFromLibusb(error);
        return open;
    }
    // Where a kernel driver (say, a class driver) holds the interface, libusb detaches it for the
    // claim and attaches it again at the release. Platforms without this answer NOT_SUPPORTED,
    // and the claim then succeeds or fails on its own.
    libusb_set_auto_detach_kernel_driver(handle, 1);
    error = libusb_claim_interface(handle, 0);
    if (error != LIBUSB_SUCCESS) {
        libusb_close(handle);
        open.result = resultFromLibusb(error);
        return open;
    }

    try {
        open.device = std::make_shared<LibusbTransport>(context_, handle, transferTimeout_);
    } catch (const std::bad_alloc&) {
        libusb_release_interface(handle, 0);
        libusb_close(handle);
        open.result = resultFromLibusb(LIBUSB_ERROR_NO_MEM);
        return open;
    }
    open.result = {};
    return open;
}

}  // namespace tavik
