#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "device/DeviceResult.hpp"

struct libusb_context;

namespace tavik {

// One libusb session (libusb_init / libusb_exit), shared by whatever uses it: the device access,
// every transport it opened and the hotplug monitor each hold a std::shared_ptr. libusb_exit
// therefore runs only once the last of them is gone: never under a transfer in flight, even when
// a request worker is still inside one as main returns (the process then ends with the session
// still open, which is harmless), and never before a transport has closed its handle.
class LibusbContext {
  public:
    struct Init {
        DeviceResult result;                     // done, or the mapped libusb_init failure
        std::shared_ptr<LibusbContext> context;  // null on failure
    };
    // libusb_init of a context of its own (never libusb's default context, so two sessions in
    // one process, tests included, never share state).
    static Init create();

    ~LibusbContext();
    LibusbContext(const LibusbContext&) = delete;
    LibusbContext& operator=(const LibusbContext&) = delete;

    libusb_context* get() const { return context_; }

    // Keeps `object` alive until libusb_exit has returned. For what libusb may still call into
    // after its owner has gone: a hotplug callback runs on whichever thread handles the session's
    // events (a request worker inside a transfer, say) without any lock that deregistering
    // waits for, so its user data must outlive the session, not the callback's registration.
    // Thread-safe.
    void keepUntilExit(std::shared_ptr<const void> object);

  private:
    explicit LibusbContext(libusb_context* context) : context_(context) {}
    libusb_context* const context_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<const void>> keptUntilExit_;  // released after libusb_exit
};

}  // namespace tavik
