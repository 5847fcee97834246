#include "device/libusb/LibusbError.hpp"

#include <libusb.h>

#include <cstdint>

namespace tavik {

namespace {

// Win32 error codes (winerror.h), named here because this file never sees windows.h.
constexpr std::uint32_t errorAccessDenied = 5;
constexpr std::uint32_t errorInvalidData = 13;
constexpr std::uint32_t errorOutOfMemory = 14;
constexpr std::uint32_t errorGenFailure = 31;
constexpr std::uint32_t errorNotSupported = 50;
constexpr std::uint32_t errorInvalidParameter = 87;
constexpr std::uint32_t errorSemTimeout = 121;
constexpr std::uint32_t errorBusy = 170;
constexpr std::uint32_t errorOperationAborted = 995;
constexpr std::uint32_t errorDeviceNotConnected = 1167;
constexpr std::uint32_t errorNotFound = 1168;

// A libusb_error code, the Win32 error a Windows host reports for the same cause (its HRESULT is
// what the log prints), and what the core reads it as.
struct Mapping {
    int libusbError;
    std::uint32_t win32Error;
    DeviceStatus status;
};

using enum DeviceStatus;

constexpr Mapping mappings[] = {
    // A bus-level failure of the transfer: WinUSB reports it as a general failure.
    {LIBUSB_ERROR_IO, errorGenFailure, other},
    // A call made with arguments the system refuses: E_INVALIDARG.
    {LIBUSB_ERROR_INVALID_PARAM, errorInvalidParameter, other},
    // The device node cannot be opened (permissions, no udev rule): CreateFileW's code for it.
    {LIBUSB_ERROR_ACCESS, errorAccessDenied, accessDenied},
    // The unit left the bus: what WinUSB and CreateFileW report for a vanished device.
    {LIBUSB_ERROR_NO_DEVICE, errorDeviceNotConnected, gone},
    // The interface or entity asked for does not exist: the lookup's own not-found code.
    {LIBUSB_ERROR_NOT_FOUND, errorNotFound, notFound},
    // Another program or driver holds the interface: the resource is in use.
    {LIBUSB_ERROR_BUSY, errorBusy, busy},
    // The transfer did not end within its time-out: WinUSB's pipe time-out code.
    {LIBUSB_ERROR_TIMEOUT, errorSemTimeout, timedOut},
    // The unit sent more than was asked for (babble): another bus-level failure to WinUSB.
    {LIBUSB_ERROR_OVERFLOW, errorGenFailure, other},
    // The unit stalled the request: WinUSB reports a stalled control pipe as a general failure.
    {LIBUSB_ERROR_PIPE, errorGenFailure, stalled},
    // The call was cancelled before it finished: an aborted operation.
    {LIBUSB_ERROR_INTERRUPTED, errorOperationAborted, other},
    // Memory ran out: E_OUTOFMEMORY, as the Windows build reports a failed allocation.
    {LIBUSB_ERROR_NO_MEM, errorOutOfMemory, other},
    // The platform's libusb lacks the operation.
    {LIBUSB_ERROR_NOT_SUPPORTED, errorNotSupported, other},
    // A failure libusb cannot name: the Windows build's fallback for unmapped failures.
    {LIBUSB_ERROR_OTHER, errorInvalidData, other},
};

}  // namespace

DeviceResult resultFromLibusb(int error) {
    if (error >= 0) {
        return {};
    }
    for (const Mapping& m : mappings) {
        if (m.libusbError == error) {
            return {.status = m.status, .code = hresultFromWin32(m.win32Error)};
        }
    }
    return {.status = other, .code = hresultFromWin32(errorInvalidData)};
}

}  // namespace tavik
