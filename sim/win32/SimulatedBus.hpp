#pragma once

// The simulated unit of one process, as the replacement winusb.dll and cfgmgr32.dll show it to
// the program: listed by the configuration manager under its interface class while it is on
// the bus, opened through a path that CreateFileW can open, reached through WinUSB handles, and
// announced to the program's windows as Windows announces interfaces that come and go.
//
// Both replacement DLLs forward every export to taviksimunit.dll, which holds this one bus per
// process: so the two see the same unit, as the two system DLLs see the same hardware.
//
// A scenario with further [unit] sections adds further units: each on the bus from the start
// for good (their arrive and unplug times, path, list-error and restart notice are not played),
// listed after the first under its own interface class, reached through its own path, and
// logged in wire-N.log and unit-image-N.bin. Notices are sent for the first unit only.
#include <windows.h>

#include <cfgmgr32.h>
#include <winusb.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/SimulatedUnit.hpp"
#include "sim/UnitScenario.hpp"
#include "sim/WireLog.hpp"

namespace tavik::sim {

class SimulatedBus {
  public:
    // The bus of this process, set up on first use from the scenario file that the environment
    // variable TAVIK_SIM_SCENARIO names (a Windows path). Without it, or when the file cannot
    // be read, no unit is ever present; what went wrong is written to standard error and to
    // sim-error.txt beside the scenario. Never destroyed: worker threads of the program may
    // still be inside a transfer when the process ends.
    static SimulatedBus& instance();

    // --- Configuration manager ---------------------------------------------------------------
    CONFIGRET interfaceListSize(const GUID* interfaceClass, ULONG* length);
    CONFIGRET interfaceList(const GUID* interfaceClass, WCHAR* buffer, ULONG length);

    // --- WinUSB ------------------------------------------------------------------------------
    BOOL initialize(HANDLE file, WINUSB_INTERFACE_HANDLE* handle);
    BOOL free(WINUSB_INTERFACE_HANDLE handle);
    BOOL getDescriptor(WINUSB_INTERFACE_HANDLE handle, UCHAR type, UCHAR index, USHORT languageId,
                       UCHAR* buffer, ULONG length, ULONG* transferred);
    BOOL controlTransfer(WINUSB_INTERFACE_HANDLE handle, const WINUSB_SETUP_PACKET& setup,
                         UCHAR* buffer, ULONG length, ULONG* transferred);

    // --- Called by the unit's observer (unit lock held: no calls back into the unit) ---------
    void logRequest(const WireRequest& request);
    void storeImage(const std::vector<std::uint8_t>& image);
    void unitLeft(Departure why);

  private:
    // A further unit: its path's file, which tells WinUsb_Initialize which unit a handle opens.
    struct Further {
        std::shared_ptr<SimulatedUnit> unit;
        GUID interfaceClass = {};
        std::wstring path;
        std::uint64_t fileId = 0;  // the path file's volume and index
        std::unique_ptr<WireLog> wireLog;
    };

    struct Notice {
        WPARAM event;  // DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE
        std::chrono::steady_clock::time_point due;
        bool arrival;  // the unit comes on the bus just before the notice is sent
        bool unplug;   // the unit is unplugged at `due`, then the notice follows
    };

    SimulatedBus();
    void setUp();
    void fail(const std::string& why);
    bool listed(const GUID* interfaceClass) const;
    void queue(Notice notice);
    void runNotices();
    void announce(WPARAM event);
    void afterTransfer();
    void setUpFurther(const UnitScenario& scenario, std::size_t number);
    // The paths listed under `interfaceClass`, in order.
    std::wstring listText(const GUID* interfaceClass) const;

    std::wstring folder_;  // the scenario's folder, where every output goes
    UnitScenario scenario_;
    std::shared_ptr<SimulatedUnit> unit_;  // null: no unit at all
    GUID interfaceClass_ = {};
    std::wstring path_;  // the interface path the configuration manager lists
    std::chrono::steady_clock::time_point start_;

    WireLog wireLog_;
    std::vector<Further> further_;

    std::mutex noticeMutex_;
    std::condition_variable noticesChanged_;
    std::deque<Notice> notices_;
    std::uint64_t queued_ = 0;     // removal and arrival notices queued so far
    std::uint64_t delivered_ = 0;  // and delivered
};

}  // namespace tavik::sim
