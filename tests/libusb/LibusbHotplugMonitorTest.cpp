// Arrival and removal of the vendor's units, through libusb's hotplug and through polling, over
// the emulated bus, delivered on the event loop's thread.
#include "device/libusb/LibusbHotplugMonitor.hpp"

#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "EmulatedBusSession.hpp"
#include "device/Identification.hpp"
#include "device/libusb/LibusbDeviceAccess.hpp"
#include "engine/TaskQueue.hpp"

namespace tavik {
namespace {

using namespace std::chrono_literals;
using Source = LibusbHotplugMonitor::Source;
using test::eventually;

// The test thread's event loop, counting posts before queueing them: a task that ran is counted.
struct CountingLoop final : EventLoop {
    void post(std::function<void()> task) override {
        ++posted;
        queue.post(std::move(task));
    }
    TaskQueue queue;
    std::atomic<int> posted{0};
};

// What the handlers saw: "+" for an arrival, "-" for a removal, "!" for one off the loop thread.
struct Seen {
    HotplugMonitor::Events events() {
        return {[this] { record("+"); }, [this] { record("-"); }};
    }
    void record(const char* what) { text += std::this_thread::get_id() == owner ? what : "!"; }
    std::thread::id owner = std::this_thread::get_id();
    std::string text;
};

const Source sources[] = {Source::automatic, Source::polling};

LibusbHotplugMonitor::Options optionsFor(Source source) {
    return {.source = source, .pollInterval = 20ms};
}

// Every arrival and removal of a vendor's unit runs its handler on the loop thread, other vendors'
// units go unnoticed, and nothing runs after stop(): not an event posted before it, even once the
// monitor has gone, nor a later one.
TEST(LibusbHotplugMonitor, VendorsUnitsComeAndGoOnTheLoopThreadUntilStopped) {
    for (const Source source : sources) {
        SCOPED_TRACE(source == Source::polling ? "polling" : "libusb hotplug");
        test::EmulatedBusSession session;
        ASSERT_TRUE(session.ready());
        auto loop = std::make_shared<CountingLoop>();
        Seen seen;
        auto monitor =
            std::make_unique<LibusbHotplugMonitor>(session.context, loop, optionsFor(source));
        monitor->start(seen.events());
        EXPECT_EQ(monitor->polling(),
                  source == Source::polling || !libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG));

        auto unit = test::makeUnit(0x07FD, 0x001D);
        auto other = test::makeUnit(0x07FE, 0x001D);
        auto secondProduct = test::makeUnit(0x07FD, 0x0042);
        const auto waitFor = [&](const std::string& text) {
            return loop->queue.runUntil([&] { return seen.text.size() >= text.size(); }, 10s) &&
                   seen.text == text;
        };
        // The unit seen after another vendor's proves that one was looked at.
        ASSERT_TRUE(session.bus.plug(other));
        ASSERT_TRUE(session.bus.plug(unit));
        EXPECT_TRUE(waitFor("+")) << seen.text;
        session.bus.unplug(other);
        session.bus.unplug(unit);
        EXPECT_TRUE(waitFor("+-")) << seen.text;
        ASSERT_TRUE(session.bus.plug(secondProduct));
        EXPECT_TRUE(waitFor("+-+")) << seen.text;

        const int posted = loop->posted;
        session.bus.unplug(secondProduct);
        ASSERT_TRUE(eventually([&] { return loop->posted == posted + 1; }));
        monitor->stop();
        monitor->stop();  // harmless twice
        monitor.reset();
        ASSERT_TRUE(session.bus.plug(unit));
        EXPECT_TRUE(loop->queue.runOne(1s)) << "the task posted before stop() outlives the monitor";
        loop->queue.runUntil([] { return false; }, 100ms);
        EXPECT_EQ(seen.text, "+-+") << "nothing after stop()";
    }
}

// The program's pattern: the arrival handler, on the loop thread, opens and identifies the unit
// while the monitor's thread handles libusb's events on the same session.
TEST(LibusbHotplugMonitor, TheArrivalHandlerOpensTheUnitWhileEventsAreHandled) {
    for (const Source source : sources) {
        SCOPED_TRACE(source == Source::polling ? "polling" : "libusb hotplug");
        test::EmulatedBusSession session;
        ASSERT_TRUE(session.ready());
        auto loop = std::make_shared<CountingLoop>();
        LibusbDeviceAccess access(session.context);
        std::shared_ptr<UsbTransport> open;
        std::string serial;
        LibusbHotplugMonitor monitor(session.context, loop, optionsFor(source));
        monitor.start({[&] {
                           open = access.openDevice().device;
                           DeviceIdentity identity;
                           if (open && identifyDevice(*open, unitVendorId, unitProductId,
                                                      unitShortBranchProductId, unitProductIdLater,
                                                      identity) == Identification::recognised) {
                               serial = identity.serial;
                           }
                       },
                       [&] { open.reset(); }});
        auto unit = test::makeUnit(0x07FD, 0x0009, u"T1A00042");
        ASSERT_TRUE(session.bus.plug(unit));
        EXPECT_TRUE(loop->queue.runUntil([&] { return !serial.empty(); }, 10s));
        EXPECT_EQ(serial, "T1A00042");
        session.bus.unplug(unit);
        EXPECT_TRUE(loop->queue.runUntil([&] { return !open; }, 10s));
        monitor.stop();
        EXPECT_TRUE(eventually([&] { return unit->openHandles() == 0; }));
    }
}

}  // namespace
}  // namespace tavik
