#pragma once

#include <cstdint>
#include <string_view>

#include "ui/WindowLayout.hpp"

namespace tavik {

// The platform side of the main window: carries out what UpdaterWindow decides. Windows
// (ui/win32/Win32WindowView): CreateWindowExW, ShowWindow, DestroyWindow, PBM_SETRANGE/PBM_SETPOS,
// InvalidateRect, RegisterDeviceNotificationW. Linux (ui/qt/QtWindowView): child widgets it
// paints itself (PaintedButton, PaintedProgressBar), QWidget::update, a HotplugMonitor for
// arrivals and removals. Tests: the recording fake of tests/support/RecordingView.hpp, which keeps
// the controls, the areas invalidated and the registrations. Every call comes on the event-loop
// thread; none reports failure, and none is ever made on a null control.
class WindowView {
  public:
    // A child control; null when there is none (never created, destroyed, or creation failed).
    using Control = void*;

    // Creates a visible push button (custom-drawn) with the caption at `bounds`; null on failure.
    virtual Control createButton(int controlId, std::string_view caption, const Rect& bounds) = 0;
    // Creates a visible progress bar (no caption, control id 0) at `bounds`; null on failure.
    virtual Control createProgressBar(const Rect& bounds) = 0;
    virtual void destroyControl(Control control) = 0;
    virtual void showControl(Control control, bool visible) = 0;
    // Progress range: minimum 0, maximum `maximum`.
    virtual void setProgressRange(Control progressBar, std::uint16_t maximum) = 0;
    virtual void setProgressPosition(Control progressBar, std::uint16_t position) = 0;
    // Asks for `area` to be repainted, background erased first; painting happens later.
    virtual void invalidate(const Rect& area) = 0;

    // Device-interface arrival and removal notifications for both interface classes.
    virtual void registerDeviceNotifications() = 0;
    virtual void unregisterDeviceNotifications() = 0;
    // Destroys the main window; the platform then ends the event loop.
    virtual void destroyWindow() = 0;
    // Ends the event loop at once (the "OK" button), leaving window and unit as they are.
    virtual void quit() = 0;

  protected:
    ~WindowView() = default;
};

}  // namespace tavik
