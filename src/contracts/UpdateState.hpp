#pragma once

#include <cstdint>

namespace tavik {

// The phase of an update run, and so which request is in flight.
enum class UpdateState : std::int32_t {
    CompareExisting = 0,  // DFU_UPLOAD: reading back what the unit holds
    Download = 1,         // DFU_DNLOAD: writing the image, then the empty chunk
    GetStatus = 2,        // DFU_GETSTATUS: the unit must be dfuIDLE
    Verify = 3,           // DFU_UPLOAD: reading back what was written
    Reboot = 4,           // REBOOT_TO_APP
    Idle = 5,             // no run
};

}  // namespace tavik
