#pragma once

#include <chrono>

#include "device/DeviceAccess.hpp"

namespace tavik {

// How the engine tries again to open a unit that is there but not ready. A unit that has just
// arrived may refuse to be opened for a moment: its device node is not yet readable, the
// permissions of a udev rule are applied a little after the node appears, the system's own
// drivers still probe the interface, or its first descriptor reads fail. Five more tries half a
// second apart wait out all of these (they pass within a second or so) without keeping a unit
// that truly cannot be opened behind the no-unit text for long: its remedy shows after 2.5 s.
struct OpenRetryPolicy {
    int moreTries = 5;
    std::chrono::milliseconds interval{500};
};

// Whether a failed open may pass on a later try: a unit was listed (so something is there) and
// opening it was refused for a reason that a moment can mend: access denied, busy, an I/O error,
// a time-out, or a unit that was listed but gone or not found by the time it was opened. No
// unit listed at all is not tried again: hotplug (or the user) brings the next one.
inline bool mayPassLater(const OpenResult& opened) {
    if (opened.deviceNotFound) {
        return false;
    }
    switch (opened.result.status) {
        case DeviceStatus::accessDenied:
        case DeviceStatus::busy:
        case DeviceStatus::other:
        case DeviceStatus::timedOut:
        case DeviceStatus::gone:
        case DeviceStatus::notFound:
            return true;
        case DeviceStatus::done:
        case DeviceStatus::stalled:
            break;
    }
    return false;
}

}  // namespace tavik
