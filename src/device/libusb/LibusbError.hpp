#pragma once

#include "device/DeviceResult.hpp"

namespace tavik {

// A libusb_error code as a device result: its code is the HRESULT a Windows host reports for the
// same cause, so that both builds print the same "Failed looking for device, HRESULT 0x..." line
// for the same fault. LIBUSB_SUCCESS (and any other non-negative count) is done with hrOk. The
// status: PIPE stalled, NO_DEVICE gone, TIMEOUT timedOut, ACCESS accessDenied, BUSY busy,
// NOT_FOUND notFound, anything else other. LIBUSB_ERROR_OTHER and codes this table does not know
// give ERROR_INVALID_DATA, the Windows build's own fallback.
DeviceResult resultFromLibusb(int error);

}  // namespace tavik
