// The Linux (and macOS) entry point: the window on Qt, the unit through libusb, arrivals and
// removals through libusb's hotplug (or polling where it has none), and each worker's completion
// by queued invocation on Qt's event loop. The same composition as on Windows; the exit code is 0
// however the window is left (the close box or "OK").
#include <QApplication>

#include <cstdint>
#include <memory>

#include "app/WindowProgram.hpp"
#include "device/libusb/LibusbDeviceAccess.hpp"
#include "device/libusb/LibusbHotplugMonitor.hpp"
#include "runtime/EventLoopCompletionPoster.hpp"
#include "runtime/Log.hpp"
#include "ui/qt/QtEventLoop.hpp"
#include "ui/qt/QtWindowView.hpp"

namespace {

// Shown in the message line when a unit is there but this user may not open it: on Linux that
// is a missing udev rule (see the README).
constexpr const char* accessDeniedText = "No access: install the udev rule.";

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    // Destroyed after everything that posts to it; closed before the window goes.
    auto loop = std::make_shared<tavik::QtEventLoop>();

    // A libusb session of its own, shared with the hotplug monitor and every open unit. Should
    // it fail, every search for a unit fails with its code, and there is no hotplug.
    tavik::LibusbDeviceAccess devices;
    std::unique_ptr<tavik::LibusbHotplugMonitor> hotplug;
    if (devices.context()) {
        hotplug = std::make_unique<tavik::LibusbHotplugMonitor>(devices.context(), loop);
    }
    tavik::StandardOutputLog log;
    tavik::QtWindowView view(hotplug.get());

    // Completions reach the window only while the loop runs tasks, that is while `program` is
    // alive: the loop is closed before it is destroyed.
    tavik::UpdaterWindow* window = nullptr;
    auto poster = std::make_shared<tavik::EventLoopCompletionPoster>(
        loop, [&window](bool success, std::uint64_t bytes) {
            window->onTransferCompleted(success, bytes);
        });
    // The same loop times the tries to open a unit again that arrived not ready.
    tavik::WindowProgram program(view, devices, poster, log, tavik::launchDetachedThread, loop);
    window = &program.window;
    program.window.setAccessDeniedText(accessDeniedText);
    view.setPresentation(&program.window);

    view.createWindow();
    view.show();
    application.exec();

    loop->close();
    if (hotplug) {
        hotplug->stop();
    }
    return 0;
}
