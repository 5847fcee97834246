#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "device/HotplugMonitor.hpp"
#include "device/libusb/LibusbContext.hpp"
#include "runtime/EventLoop.hpp"

namespace tavik {

// Arrival and removal of the vendor's units (unitVendorId, any product) through libusb, posted to
// the event loop. With libusb's hotplug support, a callback registered for both events runs on
// the monitor's own thread, which handles libusb events (or on any thread inside a libusb
// transfer of the same session, which handles them too); it only posts. Where libusb has no
// hotplug support, the thread instead lists the vendor's units once every poll interval and posts
// a removal for each that went and an arrival for each that came since the last list.
//
// Every posted task checks, on the event-loop thread, that the monitor has not been stopped; what
// it checks is shared with the task, so a task that runs after the monitor is destroyed is
// harmless. What the callback uses (the loop and that shared state) is kept by the session until
// libusb_exit, so a callback still running on another thread as the monitor goes is harmless too;
// the event loop must therefore accept posts for as long as the session lives (EventLoop drops
// them once it has ended).
class LibusbHotplugMonitor final : public HotplugMonitor {
  public:
    enum class Source {
        automatic,  // libusb's hotplug where libusb_has_capability says so, polling elsewhere
        polling,    // polling in any case
    };
    struct Options {
        Source source = Source::automatic;
        std::chrono::milliseconds pollInterval{1000};
    };

    LibusbHotplugMonitor(std::shared_ptr<LibusbContext> context, std::shared_ptr<EventLoop> loop,
                         Options options);
    LibusbHotplugMonitor(std::shared_ptr<LibusbContext> context, std::shared_ptr<EventLoop> loop)
        : LibusbHotplugMonitor(std::move(context), std::move(loop), Options{}) {}
    // stop().
    ~LibusbHotplugMonitor();

    LibusbHotplugMonitor(const LibusbHotplugMonitor&) = delete;
    LibusbHotplugMonitor& operator=(const LibusbHotplugMonitor&) = delete;

    // Picks the source and starts the thread. A second call does nothing, and so does a call
    // without a session (libusb_init failed: no unit can be opened either). Should libusb refuse
    // the hotplug registration, the monitor polls instead.
    void start(Events events) override;
    // Marks the monitor stopped (no posted task runs its handler from now on), deregisters the
    // callback, wakes the thread and joins it.
    void stop() override;

    // Whether start() chose polling; false before start().
    bool polling() const { return polling_; }

  private:
    struct Shared;
    struct Poster;

    // A unit on the bus as polling tells them apart: bus number and address.
    using UnitKey = std::pair<std::uint8_t, std::uint8_t>;

    void handleEvents();
    void poll(std::vector<UnitKey> present);

    const std::shared_ptr<LibusbContext> context_;
    const std::shared_ptr<EventLoop> loop_;
    const Options options_;

    std::shared_ptr<Shared> shared_;        // set by start()
    std::shared_ptr<const Poster> poster_;  // set by start(); the session keeps it too
    bool polling_ = false;
    bool callbackRegistered_ = false;
    int callbackHandle_ = 0;  // libusb_hotplug_callback_handle

    std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace tavik
