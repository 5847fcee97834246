#include "device/win32/Win32Error.hpp"

#include <cstdint>

namespace tavik {

namespace {

// ERROR_NO_SUCH_DEVICE, a device that does not exist: MinGW-w64's winerror.h does not name it.
constexpr DWORD errorNoSuchDevice = 433;

using enum DeviceStatus;

struct Mapping {
    DWORD error;
    DeviceStatus atOpen, inTransfer;
};

constexpr Mapping mappings[] = {
    // WinUSB's code for a stalled control pipe (it reports other failures on the bus the same
    // way, and nothing tells them apart). From an open it is a failure of the driver.
    {ERROR_GEN_FAILURE, other, stalled},
    // The control pipe's time-out ran out.
    {ERROR_SEM_TIMEOUT, timedOut, timedOut},
    // The unit was removed after it was listed: what CreateFileW, WinUSB and the driver's I/O
    // on a handle of a removed device report.
    {ERROR_DEVICE_NOT_CONNECTED, gone, gone},
    {errorNoSuchDevice, gone, gone},
    {ERROR_BAD_COMMAND, gone, gone},
    // The path (or the lookup) names nothing: nothing to open. On an open handle the unit can
    // only have gone.
    {ERROR_FILE_NOT_FOUND, notFound, gone},
    {ERROR_NOT_FOUND, notFound, gone},
    // This user may not open the interface (or the configuration manager refused the lookup).
    {ERROR_ACCESS_DENIED, accessDenied, accessDenied},
    // Another program holds the interface open without sharing it.
    {ERROR_BUSY, busy, busy},
    {ERROR_SHARING_VIOLATION, busy, busy},
};

}  // namespace

DeviceResult failedWin32Call(HResult code, Win32Call call) {
    const auto bits = static_cast<std::uint32_t>(code);
    if ((bits & 0xFFFF0000u) == 0x80070000u) {  // HRESULT_FROM_WIN32 of a positive error
        for (const Mapping& m : mappings) {
            if (m.error == (bits & 0xFFFFu)) {
                return {.status = call == Win32Call::open ? m.atOpen : m.inTransfer, .code = code};
            }
        }
    }
    return {.status = other, .code = code};
}

}  // namespace tavik
