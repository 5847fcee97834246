#pragma once

#include <QWidget>

#include "device/HotplugMonitor.hpp"
#include "ui/UpdaterWindow.hpp"
#include "ui/WindowView.hpp"

namespace tavik {

// The main window on Qt: painting of the two text lines, the hand-painted buttons, the progress
// bar and the close box. It owns no logic: every event goes to the UpdaterWindow, which decides
// and calls back through WindowView. Every call is made on the thread that runs the Qt event loop.
class QtWindowView final : public QWidget, public WindowView {
  public:
    // The client area of the Windows window on Windows 10 at 100 %: the outer 500 x 160 less a
    // fixed frame of 3 + 4 px per side, the 23 px caption and a 2 px client edge per side.
    static constexpr int clientWidth = 482;
    static constexpr int clientHeight = 119;

    // `hotplug` may be null (no arrivals or removals are reported then); it must outlive the view.
    explicit QtWindowView(HotplugMonitor* hotplug = nullptr);
    QtWindowView(const QtWindowView&) = delete;
    QtWindowView& operator=(const QtWindowView&) = delete;
    ~QtWindowView() override;

    // Set once, before createWindow().
    void setPresentation(UpdaterWindow* window) { window_ = window; }

    // Gives the window its title, fixed size and font, then lets the presentation create its
    // contents: the first search for a unit happens here, before the window is first shown, as it
    // does inside window creation on Windows. Call once, then show().
    void createWindow();

    // WindowView
    Control createButton(int controlId, std::string_view caption, const Rect& bounds) override;
    Control createProgressBar(const Rect& bounds) override;
    // Hides the control at once and deletes it once control is back in the event loop, so a
    // button may be destroyed from inside its own click.
    void destroyControl(Control control) override;
    void showControl(Control control, bool visible) override;
    void setProgressRange(Control progressBar, std::uint16_t maximum) override;
    void setProgressPosition(Control progressBar, std::uint16_t position) override;
    void invalidate(const Rect& area) override;
    void registerDeviceNotifications() override;
    void unregisterDeviceNotifications() override;
    // Hides the window for good and ends the event loop.
    void destroyWindow() override;
    // Ends the event loop at once; the window stays as it is (no close events, no other windows
    // asked to close).
    void quit() override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    // The close box (or the window manager's close): the presentation decides, and the window
    // closes only through destroyWindow().
    void closeEvent(QCloseEvent* event) override;

  private:
    void onButtonClicked(int controlId);

    UpdaterWindow* window_ = nullptr;
    HotplugMonitor* const hotplug_;
    bool watching_ = false;
    bool destroyed_ = false;
};

}  // namespace tavik
