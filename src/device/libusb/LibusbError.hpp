#pragma once

#include "device/HResult.hpp"

namespace tavik {

// The HRESULT a Windows host reports for the cause behind a libusb_error code, so that both
// builds print the same "Failed looking for device, HRESULT 0x..." line for the same fault.
// LIBUSB_SUCCESS (and any other non-negative count) is hrOk; LIBUSB_ERROR_OTHER and codes this
// table does not know give ERROR_INVALID_DATA, the Windows build's own fallback.
HResult hresultFromLibusb(int error);

}  // namespace tavik
