#include "device/libusb/LibusbHotplugMonitor.hpp"

#include <libusb.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

#include "device/Identification.hpp"

namespace tavik {

// What the posted tasks share with the monitor: the handlers and whether the monitor stopped.
// `events` is touched on the event-loop thread only (start, the tasks, stop).
struct LibusbHotplugMonitor::Shared {
    explicit Shared(Events e) : events(std::move(e)) {}
    Events events;
    std::atomic<bool> stopped{false};
};

// Posts events: from the polling thread, and as the user data of libusb's hotplug callback.
struct LibusbHotplugMonitor::Poster {
    void post(bool arrival) const {
        if (shared->stopped) {
            return;
        }
        loop->post([shared = shared, arrival] {
            if (shared->stopped) {
                return;
            }
            const auto& handler = arrival ? shared->events.arrived : shared->events.removed;
            if (handler) {
                handler();
            }
        });
    }

    static int LIBUSB_CALL onHotplugEvent(libusb_context*, libusb_device*,
                                          libusb_hotplug_event event, void* poster) {
        static_cast<const Poster*>(poster)->post(event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
        return 0;  // stay registered
    }

    const std::shared_ptr<EventLoop> loop;
    const std::shared_ptr<Shared> shared;
};

namespace {

// How long the event thread waits in libusb before it looks at the stop flag again. Only a
// bound: stop() wakes the thread at once with libusb_interrupt_event_handler.
constexpr timeval eventWaitBound{0, 250000};

// The vendor's units now present (bus number and address), sorted; nothing when libusb cannot
// list the bus. A unit plugged in again gets a new address, so polling sees one removal and one
// arrival.
std::optional<std::vector<std::pair<std::uint8_t, std::uint8_t>>> vendorUnits(
    libusb_context* context) {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) {
        return std::nullopt;
    }
    std::vector<std::pair<std::uint8_t, std::uint8_t>> units;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) == LIBUSB_SUCCESS &&
            descriptor.idVendor == unitVendorId) {
            units.emplace_back(libusb_get_bus_number(list[i]), libusb_get_device_address(list[i]));
        }
    }
    libusb_free_device_list(list, 1);
    std::sort(units.begin(), units.end());
    return units;
}

}  // namespace

LibusbHotplugMonitor::LibusbHotplugMonitor(std::shared_ptr<LibusbContext> context,
                                           std::shared_ptr<EventLoop> loop, Options options)
    : context_(std::move(context)), loop_(std::move(loop)), options_(options) {}

LibusbHotplugMonitor::~LibusbHotplugMonitor() {
    stop();
}

void LibusbHotplugMonitor::start(Events events) {
    if (shared_ || !context_) {
        return;
    }
    shared_ = std::make_shared<Shared>(std::move(events));
    poster_ = std::make_shared<const Poster>(Poster{loop_, shared_});

    if (options_.source == Source::automatic && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        callbackRegistered_ =
            libusb_hotplug_register_callback(
                context_->get(),
                LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                LIBUSB_HOTPLUG_NO_FLAGS, unitVendorId, LIBUSB_HOTPLUG_MATCH_ANY,
                LIBUSB_HOTPLUG_MATCH_ANY, &Poster::onHotplugEvent,
                const_cast<Poster*>(poster_.get()), &callbackHandle_) == LIBUSB_SUCCESS;
        if (callbackRegistered_) {
            context_->keepUntilExit(poster_);
        }
    }
    polling_ = !callbackRegistered_;
    if (polling_) {
        // The first list is taken here, so a unit that comes while the thread starts is seen.
        thread_ = std::thread(&LibusbHotplugMonitor::poll, this,
                              vendorUnits(context_->get()).value_or(std::vector<UnitKey>{}));
    } else {
        thread_ = std::thread([this] { handleEvents(); });
    }
}

void LibusbHotplugMonitor::stop() {
    if (!shared_ || !thread_.joinable()) {
        return;
    }
    shared_->stopped = true;
    // The handlers' captures go now, not when the session ends and lets go of the poster.
    shared_->events = {};
    if (callbackRegistered_) {
        // No call starts after this; one running on another thread may still post, which the
        // stopped flag makes harmless (its poster is kept by the session).
        libusb_hotplug_deregister_callback(context_->get(), callbackHandle_);
        callbackRegistered_ = false;
    }
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (!polling_) {
        libusb_interrupt_event_handler(context_->get());
    }
    thread_.join();
}

void LibusbHotplugMonitor::handleEvents() {
    while (!stopping_) {
        timeval bound = eventWaitBound;
        libusb_handle_events_timeout_completed(context_->get(), &bound, nullptr);
    }
}

void LibusbHotplugMonitor::poll(std::vector<UnitKey> present) {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            if (wake_.wait_for(lock, options_.pollInterval, [this] { return stopping_.load(); })) {
                return;
            }
        }
        std::optional<std::vector<UnitKey>> now = vendorUnits(context_->get());
        if (!now) {
            continue;  // the bus could not be listed this time; compare with the next list
        }
        std::vector<UnitKey> gone, came;
        std::set_difference(present.begin(), present.end(), now->begin(), now->end(),
                            std::back_inserter(gone));
        std::set_difference(now->begin(), now->end(), present.begin(), present.end(),
                            std::back_inserter(came));
        // Removals first: a unit plugged in again between two lists is closed before it reopens.
        for (std::size_t i = 0; i < gone.size(); ++i) {
            poster_->post(false);
        }
        for (std::size_t i = 0; i < came.size(); ++i) {
            poster_->post(true);
        }
        present = std::move(*now);
    }
}

}  // namespace tavik
