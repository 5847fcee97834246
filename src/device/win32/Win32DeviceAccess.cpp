#include "device/win32/Win32DeviceAccess.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "device/win32/DeviceData.hpp"
#include "device/win32/InterfaceClasses.hpp"
#include "device/win32/Win32Error.hpp"
#include "device/win32/WinUsbTransport.hpp"

namespace tavik {

Win32DeviceAccess::Win32DeviceAccess() : Win32DeviceAccess(loadSystemWin32Api()) {}

Win32DeviceAccess::Win32DeviceAccess(const Win32ApiLoad& load) : load_(load) {}

OpenResult Win32DeviceAccess::openDevice() {
    OpenResult open;
    if (failed(load_.result)) {
        open.result = failedWin32Call(load_.result, Win32Call::open);
        return open;
    }
    DeviceData device{};
    BOOL deviceNotFound = FALSE;
    open.result = tavik::openDevice(load_.api, device, &deviceNotFound);
    open.deviceNotFound = deviceNotFound != FALSE;
    if (device.handlesOpen) {
        open.device = std::make_shared<WinUsbTransport>(load_.api, device);
    }
    return open;
}

namespace {

// Interface paths as keys: UTF-8, and back.
std::string toKey(const std::wstring& path) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string key(static_cast<std::size_t>(std::max(size, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), key.data(), size,
                        nullptr, nullptr);
    return key;
}

std::wstring fromKey(const std::string& key) {
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, key.data(), static_cast<int>(key.size()), nullptr, 0);
    std::wstring path(static_cast<std::size_t>(std::max(size, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, key.data(), static_cast<int>(key.size()), path.data(), size);
    return path;
}

}  // namespace

// The paths of the primary class, then those of the secondary one not listed already. A class
// whose query fails is passed over; only when both fail and nothing is listed does the listing
// fail, with the secondary class's code (the class openDevice asks last).
UnitList Win32DeviceAccess::listUnits() {
    UnitList list;
    if (failed(load_.result)) {
        list.result = failedWin32Call(load_.result, Win32Call::open);
        return list;
    }
    std::vector<std::wstring> paths;
    const HResult primary = retrieveDevicePaths(load_.api, primaryInterfaceGuid, paths);
    std::vector<std::wstring> secondaryPaths;
    const HResult secondary =
        retrieveDevicePaths(load_.api, secondaryInterfaceGuid, secondaryPaths);
    for (std::wstring& path : secondaryPaths) {
        if (std::find(paths.begin(), paths.end(), path) == paths.end()) {
            paths.push_back(std::move(path));
        }
    }
    if (failed(primary) && failed(secondary) && paths.empty()) {
        list.result = failedWin32Call(secondary, Win32Call::open);
        return list;
    }
    for (const std::wstring& path : paths) {
        list.keys.push_back(toKey(path));
    }
    return list;
}

OpenResult Win32DeviceAccess::openUnit(const std::string& key) {
    OpenResult open;
    if (failed(load_.result)) {
        open.result = failedWin32Call(load_.result, Win32Call::open);
        return open;
    }
    const std::wstring path = fromKey(key);
    DeviceData device{};
    open.result = openDevicePath(load_.api, device, path.c_str());
    // A path that names nothing any more: the unit left since it was listed.
    open.deviceNotFound = open.result.status == DeviceStatus::notFound;
    if (device.handlesOpen) {
        open.device = std::make_shared<WinUsbTransport>(load_.api, device);
    }
    return open;
}

}  // namespace tavik
