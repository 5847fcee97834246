#pragma once

#include <functional>

namespace tavik {

// Arrival and removal of unit interfaces, from the platform to the window's entry points
// (UpdaterWindow::onDeviceArrival and onDeviceRemoval). On Windows the main window registers for
// WM_DEVICECHANGE itself and needs none; elsewhere (libusb's hotplug, or polling where the
// platform has none) a monitor watches the vendor's units on a thread of its own and posts
// every event to the event loop. No device I/O happens in the monitor's callbacks: the event
// loop's handler opens and identifies the unit.
class HotplugMonitor {
  public:
    struct Events {
        std::function<void()> arrived;  // an interface of one of the vendor's units came
        std::function<void()> removed;  // one went, whichever unit it was
    };

    // Starts watching. From now on each event runs its handler on the event-loop thread, in the
    // order the platform reported them. Called on the event-loop thread, once.
    virtual void start(Events events) = 0;
    // Stops watching. Called on the event-loop thread; once it returns no handler runs any more,
    // not even for an event already posted. Safe to call twice, or without start.
    virtual void stop() = 0;

  protected:
    ~HotplugMonitor() = default;
};

}  // namespace tavik
