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
#include "runtime/TaskQueue.hpp"

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
    void postDelayed(std::chrono::milliseconds delay, std::function<void()> task) override {
        queue.postDelayed(delay, std::move(task));
    }
    TaskQueue queue;
    std::atomic<int> posted{0};
};

// Each arrival and removal of a vendor's unit runs its handler on the loop thread (which opens the
// unit, as the program's does, while the monitor handles libusb's events), other vendors' units go
// unnoticed, and nothing runs after stop(): not an event posted before it, nor a later one.
TEST(LibusbHotplugMonitor, VendorsUnitsComeAndGoOnTheLoopThreadUntilStopped) {
    for (const Source source : {Source::automatic, Source::polling}) {
        SCOPED_TRACE(source == Source::polling ? "polling" : "libusb hotplug");
        test::EmulatedBusSession session;
        ASSERT_TRUE(session.ready());
        auto loop = std::make_shared<CountingLoop>();
        LibusbDeviceAccess access(session.context);
        std::shared_ptr<UsbTransport> open;
        std::string seen, serial;  // "+" an arrival, "-" a removal, "!" either off the loop thread
        const auto record = [&seen, owner = std::this_thread::get_id()](const char* what) {
            seen += std::this_thread::get_id() == owner ? what : "!";
        };
        auto monitor = std::make_unique<LibusbHotplugMonitor>(
            session.context, loop, LibusbHotplugMonitor::Options{source, 20ms});
        monitor->start({[&] {
                            record("+");
                            DeviceIdentity identity;
                            open = access.openDevice().device;
                            if (open && identifyDevice(*open, unitVendorId, unitProductId,
                                                       unitShortBranchProductId, unitProductIdLater,
                                                       identity) == Identification::recognised) {
                                serial = identity.serial;
                            }
                        },
                        [&] { record("-"), open.reset(); }});
        EXPECT_EQ(monitor->polling(),
                  source == Source::polling || !libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG));

        auto unit = test::makeUnit(0x07FD, 0x0009, u"T1A00042");
        auto other = test::makeUnit(0x07FE, 0x001D);
        auto secondProduct = test::makeUnit(0x07FD, 0x0042);
        const auto waitFor = [&](const std::string& text) {
            return loop->queue.runUntil([&] { return seen.size() >= text.size(); }, 10s) &&
                   seen == text;
        };
        // The unit seen after another vendor's proves that one was looked at.
        ASSERT_TRUE(session.bus.plug(other));
        ASSERT_TRUE(session.bus.plug(unit));
        EXPECT_TRUE(waitFor("+")) << seen;
        EXPECT_EQ(serial, "T1A00042");
        session.bus.unplug(other);
        session.bus.unplug(unit);
        EXPECT_TRUE(waitFor("+-")) << seen;
        EXPECT_TRUE(eventually([&] { return unit->openHandles() == 0; }));
        ASSERT_TRUE(session.bus.plug(secondProduct));
        EXPECT_TRUE(waitFor("+-+")) << seen;

        const int posted = loop->posted;
        session.bus.unplug(secondProduct);
        ASSERT_TRUE(eventually([&] { return loop->posted == posted + 1; }));
        monitor->stop();
        monitor->stop();  // harmless twice
        monitor.reset();
        ASSERT_TRUE(session.bus.plug(unit));
        EXPECT_TRUE(loop->queue.runOne(1s)) << "the task posted before stop() outlives the monitor";
        loop->queue.runUntil([] { return false; }, 100ms);
        EXPECT_EQ(seen, "+-+") << "nothing after stop()";
    }
}

}  // namespace
}  // namespace tavik
