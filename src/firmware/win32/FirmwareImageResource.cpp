// Windows storage of the firmware images: "BINARY" resources of the executable itself.
#include <windows.h>

#include "firmware/FirmwareImage.hpp"

namespace tavik {

FirmwareImage loadFirmwareImage(int resourceId) {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(resourceId), L"BINARY");
    if (found == nullptr) {
        // Only possible in an executable built without its images; the engine then refuses to
        // start a run with the empty view.
        return {};
    }
    HGLOBAL loaded = LoadResource(nullptr, found);
    const void* bytes = LockResource(loaded);
    const DWORD size = SizeofResource(nullptr, found);
    return {static_cast<const std::uint8_t*>(bytes), static_cast<std::uint32_t>(size)};
}

}  // namespace tavik
