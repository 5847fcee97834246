#include "device/win32/DeviceData.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "device/win32/InterfaceClasses.hpp"
#include "device/win32/Win32Error.hpp"

namespace tavik {

namespace {

// Fetches the multi-string of the present interface paths of `interfaceClass` into a block of
// the process heap, which the caller frees when the result is hrOk. The list can grow between
// the size query and the fetch (a unit arriving); the fetch then reports CR_BUFFER_SMALL and the
// size is asked again, as often as it takes.
HResult fetchInterfaceList(const Win32Api& api, const GUID& interfaceClass, WCHAR*& list,
                           ULONG& listLength) {
    // The configuration manager's declarations take the class GUID by non-const pointer.
    GUID classGuid = interfaceClass;
    const HANDLE heap = api.GetProcessHeap();
    list = nullptr;
    listLength = 0;  // in code units, every terminator included
    for (;;) {
        CONFIGRET cr = api.CM_Get_Device_Interface_List_SizeW(&listLength, &classGuid, nullptr,
                                                              CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
        if (cr != CR_SUCCESS) {
            return configRetToHResult(api, cr);
        }
        list = static_cast<WCHAR*>(
            api.HeapAlloc(heap, HEAP_ZERO_MEMORY, static_cast<SIZE_T>(listLength) * sizeof(WCHAR)));
        if (list == nullptr) {
            return hrOutOfMemory;
        }
        cr = api.CM_Get_Device_Interface_ListW(&classGuid, nullptr, list, listLength,
                                               CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
        if (cr == CR_SUCCESS) {
            break;
        }
        api.HeapFree(heap, 0, list);
        if (cr != CR_BUFFER_SMALL) {
            return configRetToHResult(api, cr);
        }
    }
    return hrOk;
}

}  // namespace

HResult retrieveDevicePath(const Win32Api& api, WCHAR* path, ULONG pathBytes, BOOL* deviceNotFound,
                           const GUID& interfaceClass) {
    if (deviceNotFound != nullptr) {
        *deviceNotFound = FALSE;
    }
    const HANDLE heap = api.GetProcessHeap();
    WCHAR* list = nullptr;
    ULONG listLength = 0;
    if (const HResult fetched = fetchInterfaceList(api, interfaceClass, list, listLength);
        failed(fetched)) {
        return fetched;
    }

    // An empty list is a single NUL. A length of 0 would be a zero-sized block, which must not
    // be read at all.
    if (listLength == 0 || list[0] == L'\0') {
        if (deviceNotFound != nullptr) {
            *deviceNotFound = TRUE;
        }
        api.HeapFree(heap, 0, list);
        return hrNotFound;
    }

    HResult result = hrOk;
    const ULONG capacity = pathBytes / sizeof(WCHAR);
    if (capacity == 0) {
        result = hrInvalidArg;
    } else {
        // The first path ends at its terminator; the bound guards against a list without one.
        const std::size_t length =
            static_cast<std::size_t>(std::find(list, list + listLength, L'\0') - list);
        const std::size_t copied = std::min<std::size_t>(length, capacity - 1);
        std::memcpy(path, list, copied * sizeof(WCHAR));
        path[copied] = L'\0';
        result = copied == length ? hrOk : hrInsufficientBuffer;
    }
    api.HeapFree(heap, 0, list);
    return result;
}

DeviceResult openDevice(const Win32Api& api, DeviceData& device, BOOL* deviceNotFound) {
    device.handlesOpen = FALSE;

    HResult result = retrieveDevicePath(api, device.devicePath, sizeof device.devicePath,
                                        deviceNotFound, primaryInterfaceGuid);
    if (failed(result)) {
        result = retrieveDevicePath(api, device.devicePath, sizeof device.devicePath,
                                    deviceNotFound, secondaryInterfaceGuid);
        if (failed(result)) {
            return failedWin32Call(result, Win32Call::open);
        }
    }

    return openDevicePath(api, device, device.devicePath);
}

HResult retrieveDevicePaths(const Win32Api& api, const GUID& interfaceClass,
                            std::vector<std::wstring>& paths) {
    WCHAR* list = nullptr;
    ULONG listLength = 0;
    if (const HResult fetched = fetchInterfaceList(api, interfaceClass, list, listLength);
        failed(fetched)) {
        return fetched;
    }
    // Each path ends at its terminator and an empty one ends the list; the bound guards against
    // a list whose last terminators are missing.
    for (const WCHAR* at = list; at < list + listLength && *at != L'\0';) {
        const WCHAR* end = std::find(at, static_cast<const WCHAR*>(list + listLength), L'\0');
        paths.emplace_back(at, end);
        at = end + 1;
    }
    api.HeapFree(api.GetProcessHeap(), 0, list);
    return hrOk;
}

DeviceResult openDevicePath(const Win32Api& api, DeviceData& device, const WCHAR* path) {
    device.handlesOpen = FALSE;
    // WinUSB requires the file to be opened for overlapped I/O, even though every transfer of
    // this program is synchronous.
    device.deviceHandle = api.CreateFileW(
        path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (device.deviceHandle == INVALID_HANDLE_VALUE) {
        return failedWin32Call(hresultFromWin32(api.GetLastError()), Win32Call::open);
    }

    if (!api.WinUsb_Initialize(device.deviceHandle, &device.winusbHandle)) {
        // Read before CloseHandle, which may overwrite the thread's last error.
        const HResult initializeResult = hresultFromWin32(api.GetLastError());
        api.CloseHandle(device.deviceHandle);
        return failedWin32Call(initializeResult, Win32Call::open);
    }

    device.handlesOpen = TRUE;
    return {};
}

void closeDevice(const Win32Api& api, DeviceData& device) {
    if (!device.handlesOpen) {
        return;
    }
    // The interface handle lives on the file handle, so it goes first.
    api.WinUsb_Free(device.winusbHandle);
    api.CloseHandle(device.deviceHandle);
    device.handlesOpen = FALSE;
}

}  // namespace tavik
