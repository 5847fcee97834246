#pragma once

// Simulated units on an emulated USB bus, so that the real libusb, unchanged, finds them, opens
// them, claims their interface, exchanges control transfers with them and sees them come and go
// through its hotplug. Built on umockdev: its testbed provides sysfs, the device nodes and the
// uevents; the nodes' ioctls are answered by UsbfsNode.
//
// How a program runs against it:
// - The process must run with umockdev's preload library (`umockdev-wrapper PROGRAM`, or
//   LD_PRELOAD=libumockdev-preload.so.0); without it libusb sees the machine's real /sys. Under
//   AddressSanitizer its runtime must come first (LD_PRELOAD=libasan.so.N:libumockdev-preload.so.0,
//   or ASAN_OPTIONS=verify_asan_link_order=0).
// - Making the bus sets UMOCKDEV_DIR for the process: make it before libusb_init() and destroy it
//   after libusb_exit(); before libusb_exit(), waitUntilAnnounced() when a unit may have left the
//   bus by itself. One bus at a time per process.
// - libusb runs hotplug callbacks only inside libusb_handle_events*(): a program that registers
//   them needs a thread handling events.
// - A child process (the whole program, say) inherits UMOCKDEV_DIR and LD_PRELOAD and talks to
//   this process's nodes; the owner of the bus must itself run under the preload library, or the
//   uevents it sends never reach the child.
// - The emulated node is a regular file, so poll() always reports it ready: while a handle is
//   open and an event thread runs, libusb spins on REAPURBNDELAY. Correct, but do not take timings
//   from emulated runs as real figures.
//
// Access denied. A unit plugged with `accessDenied` has a node no one may open (mode 0000);
// every other node is open to all (0666) and the testbed's folders to all who search them. A
// process running as root opens anything, though: the thread that must be refused holds an
// UnprivilegedFileAccess (see there) around libusb_open(), which then fails with
// LIBUSB_ERROR_ACCESS. A child process can instead be started as another user, for instance
// `setpriv --reuid=nobody --regid=nogroup --clear-groups PROGRAM` (its sockets and files are open
// to it).
//
// Busy. A unit plugged with `claimedElsewhere` refuses every claim of interface 0 with EBUSY
// (LIBUSB_ERROR_BUSY), as when another program or a kernel driver holds it. Without it, the first
// open file to claim the interface holds it until it releases it or closes: a claim through any
// other handle is refused the same way.
#include <umockdev.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimulatedUnit.hpp"
#include "sim/WireLog.hpp"
#include "sim/umockdev/TaskThreads.hpp"

namespace tavik::sim {

class UsbfsNode;

// Where a plugged unit sits on the bus, as libusb and udev report it.
struct BusAddress {
    std::uint8_t bus = 0;     // libusb_get_bus_number()
    std::uint8_t device = 0;  // libusb_get_device_address(): new for every plug
    std::string sysPath;      // as udev names it, e.g. /sys/devices/1-1
    std::string node;         // the usbfs node, e.g. /dev/bus/usb/001/002
};

struct PlugOptions {
    bool accessDenied = false;      // nobody may open the node (see the access-denied note)
    bool claimedElsewhere = false;  // every claim of interface 0 fails with EBUSY
};

class EmulatedUsbBus {
  public:
    struct Options {
        // Where the wire log goes (empty: nowhere); the format is WireLog's, the same as the
        // Windows test DLLs write.
        std::string wireLog;
        // How long after a unit restarts (REBOOT_TO_APP) the host is told it has left; the unit
        // is gone from the bus at once (its node answers ENODEV).
        std::chrono::milliseconds restartNotice{0};
    };

    explicit EmulatedUsbBus(Options options);
    EmulatedUsbBus() : EmulatedUsbBus(Options{}) {}
    EmulatedUsbBus(const EmulatedUsbBus&) = delete;
    EmulatedUsbBus& operator=(const EmulatedUsbBus&) = delete;
    // Lets transfers still held inside a unit proceed (SimulatedUnit::releaseHeld) so that its
    // threads can end, stops telling anyone of departures, and removes the testbed.
    ~EmulatedUsbBus();

    // The testbed's root folder (also UMOCKDEV_DIR while the bus lives).
    std::string rootDir() const { return rootDir_; }

    // Whether this process sees the bus: false when it runs without umockdev's preload library,
    // where libusb would see the machine's own devices (and never these).
    bool seenByThisProcess() const;

    // The unit arrives (attach(): again in update mode after a restart or an unplug) and is put
    // on the bus: sysfs attributes and descriptors, its node, then the "add" uevent. Each plug
    // takes the next device address from 2 and the port of the same number less one (sysfs
    // name 1-1 for address 2), so sysfs lists units in plug order; libusb 1.0.26 lists those it
    // finds at libusb_init() last first. The bus becomes the unit's observer (it writes the wire
    // log and hears of departures the unit causes itself: a restart, a vanish or leave fault, a
    // detach()). A unit already on the bus keeps its place. Nothing when umockdev refuses, or
    // after 126 plugs.
    // `wireLog`: the unit's own log, for a bus of several units; null: the bus's (Options).
    std::optional<BusAddress> plug(std::shared_ptr<SimulatedUnit> unit, PlugOptions options = {},
                                   std::shared_ptr<WireLog> wireLog = nullptr);

    // The unit is unplugged (detach()); returns once the host has been sent the "remove" uevent
    // and the device is gone from sysfs. A transfer in flight fails at once
    // (LIBUSB_ERROR_NO_DEVICE); open handles stay open, and their requests fail the same way,
    // until the program closes them. A handle the program closes is given back to the unit
    // (SimulatedUnit::openHandles) within a few milliseconds, not at once: umockdev does not
    // say when a file is closed, the bus looks.
    void unplug(const std::shared_ptr<SimulatedUnit>& unit);

    // Returns once every unit that has left the bus so far has been announced gone (after its
    // restart notice, when it restarted). A departure the unit causes itself (a vanish or leave
    // fault, a restart) is announced later, from the bus's own thread: a host in this process
    // waits for it before it closes its libusb session, since umockdev's uevent sender aborts
    // the process when a listening socket closes between its connect and its send, which is
    // what libusb_exit may do to libusb's hotplug socket.
    void waitUntilAnnounced();

  private:
    struct Plugged;
    class Observer;
    struct Removal {
        std::shared_ptr<Plugged> plugged;
        std::chrono::steady_clock::time_point due;
    };

    void departed(const std::shared_ptr<Plugged>& plugged, Departure why);
    WireLog& wireLogOf(const Plugged& plugged);
    void serve();  // the service thread
    void announceRemoval(Plugged& plugged);
    std::optional<std::string> addDevice(const BusAddress& address, const std::string& name,
                                         const std::vector<std::uint8_t>& descriptor,
                                         const PlugOptions& options, UsbfsNode& node);

    UMockdevTestbed* testbed_;
    std::string rootDir_;
    const Options options_;
    WireLog wireLog_;
    TaskThreads transfers_;
    std::mutex testbedMutex_;  // our calls into the testbed, from the caller and the service

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<Plugged>> plugged_;  // every plug, in order
    std::uint8_t nextDevice_ = 2;
    std::deque<Removal> removals_;  // departures not yet announced, each due at its time
    bool stopping_ = false;
    std::thread service_;  // announces removals, notices closed files
};

}  // namespace tavik::sim
