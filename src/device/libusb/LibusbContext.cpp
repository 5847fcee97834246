#include "device/libusb/LibusbContext.hpp"

#include <libusb.h>

#include <new>
#include <utility>

#include "device/libusb/LibusbError.hpp"

namespace tavik {

LibusbContext::Init LibusbContext::create() {
    libusb_context* context = nullptr;
    const int error = libusb_init(&context);
    if (error != LIBUSB_SUCCESS) {
        return {resultFromLibusb(error), nullptr};
    }
    try {
        // Should the control block fail to allocate, shared_ptr deletes the object, which exits.
        return {{}, std::shared_ptr<LibusbContext>(new LibusbContext(context))};
    } catch (const std::bad_alloc&) {
        libusb_exit(context);
        return {resultFromLibusb(LIBUSB_ERROR_NO_MEM), nullptr};
    }
}

LibusbContext::~LibusbContext() {
    libusb_exit(context_);
    // keptUntilExit_ goes with the members, after this.
}

void LibusbContext::keepUntilExit(std::shared_ptr<const void> object) {
    std::lock_guard lock(mutex_);
    keptUntilExit_.push_back(std::move(object));
}

}  // namespace tavik
