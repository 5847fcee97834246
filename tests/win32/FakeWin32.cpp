#include "FakeWin32.hpp"

#include <algorithm>
#include <cstdio>

#include "device/win32/InterfaceClasses.hpp"

namespace tavik::fake {
namespace {

FakeSystem fake;

// Fake handles are small numbers in disjoint ranges, so that a log line names what it got.
constexpr std::uintptr_t fileBase = 0x1000, winusbBase = 0x2000;
const HANDLE processHeap = reinterpret_cast<HANDLE>(std::uintptr_t{0x3000});

std::string name(const void* handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    return value > winusbBase ? "winusb" + std::to_string(value - winusbBase)
                              : "file" + std::to_string(value - fileBase);
}

void log(const std::string& call, bool asRequired = true) {
    fake.calls.push_back(asRequired ? call : call + " (unexpected arguments)");
}

// The class a lookup asks for, logged as "size primary" or "list secondary".
InterfaceClass& lookUp(const char* what, const GUID* guid, DEVINSTID_W device, ULONG flags,
                       bool asRequired = true) {
    const bool primary = *guid == primaryInterfaceGuid;
    log(std::string(what) + (primary ? " primary" : " secondary"),
        asRequired && (primary || *guid == secondaryInterfaceGuid) && device == nullptr &&
            flags == CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
    return primary ? fake.primary : fake.secondary;
}

// The multi-string the configuration manager returns: each path NUL-terminated, then one NUL.
std::wstring multiString(const InterfaceClass& c) {
    std::wstring list;
    for (const std::wstring& path : c.paths) {
        list += path + L'\0';
    }
    return list + L'\0';
}

// Answers a transfer as scripted: the data into the buffer, the count reported.
BOOL answer(const std::string& call, PUCHAR buffer, ULONG length, PULONG transferred) {
    log(call);
    std::copy_n(fake.data.begin(), std::min<std::size_t>(fake.data.size(), length), buffer);
    *transferred = fake.reported;
    return fake.result;
}

}  // namespace

FakeSystem& fakeSystem() {
    return fake;
}

Win32Api fakeApi() {
    Win32Api api;
    api.CM_Get_Device_Interface_List_SizeW = [](PULONG length, LPGUID guid, DEVINSTID_W device,
                                                ULONG flags) {
        InterfaceClass& c = lookUp("size", guid, device, flags);
        if (c.sizeFailure == CR_SUCCESS) {
            *length = fake.listLength = static_cast<ULONG>(multiString(c).size());
            if (c.arrivals > 0) {
                c.paths.push_back(L"\\\\?\\usb#arrived" + std::to_wstring(c.arrivals--));
            }
        }
        return c.sizeFailure;
    };
    api.CM_Get_Device_Interface_ListW = [](LPGUID guid, DEVINSTID_W device, PWCHAR buffer,
                                           ULONG length, ULONG flags) -> CONFIGRET {
        // The buffer must be the block allocated for the list, `length` code units long.
        const auto block = fake.blocks.find(buffer);
        const InterfaceClass& c =
            lookUp("list", guid, device, flags,
                   block != fake.blocks.end() && block->second.size() == length);
        const std::wstring list = multiString(c);
        if (c.listFailure != CR_SUCCESS || list.size() > length) {
            return c.listFailure != CR_SUCCESS ? c.listFailure : CR_BUFFER_SMALL;
        }
        std::copy(list.begin(), list.end(), buffer);
        return CR_SUCCESS;
    };
    api.CM_MapCrToWin32Err = [](CONFIGRET cr, DWORD defaultError) -> DWORD {
        return cr == CR_ACCESS_DENIED   ? ERROR_ACCESS_DENIED
               : cr == CR_OUT_OF_MEMORY ? ERROR_NOT_ENOUGH_MEMORY
                                        : defaultError;
    };
    api.CreateFileW = [](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                         DWORD disposition, DWORD flags, HANDLE templateFile) {
        const std::wstring wide(path);
        log("CreateFileW " + std::string(wide.begin(), wide.end()),
            access == (GENERIC_READ | GENERIC_WRITE) &&
                share == (FILE_SHARE_READ | FILE_SHARE_WRITE) && security == nullptr &&
                disposition == OPEN_EXISTING &&
                flags == (FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED) && templateFile == nullptr);
        fake.lastError = fake.openError;
        if (fake.openError != ERROR_SUCCESS) {
            return INVALID_HANDLE_VALUE;
        }
        return *fake.files.insert(reinterpret_cast<HANDLE>(fileBase + ++fake.filesOpened)).first;
    };
    api.CloseHandle = [](HANDLE handle) -> BOOL {
        log("CloseHandle " + name(handle));
        // Nothing promises the last error across a call: code that reads it late sees success.
        fake.lastError = ERROR_SUCCESS;
        return fake.files.erase(handle) == 1;
    };
    api.GetLastError = []() { return fake.lastError; };
    api.GetProcessHeap = []() { return processHeap; };
    // The list buffer: twice the reported length in bytes, zero-filled, from the process heap.
    api.HeapAlloc = [](HANDLE heap, DWORD flags, SIZE_T bytes) -> LPVOID {
        log("HeapAlloc",
            heap == processHeap && flags == HEAP_ZERO_MEMORY && bytes == 2 * fake.listLength);
        if (fake.allocations++ == fake.failingAllocation) {
            return nullptr;
        }
        std::vector<WCHAR> block(std::max<SIZE_T>(bytes / 2, 1));
        void* address = block.data();
        fake.blocks.emplace(address, std::move(block));
        return address;
    };
    api.HeapFree = [](HANDLE heap, DWORD, LPVOID block) -> BOOL {
        log("HeapFree", heap == processHeap);
        return fake.blocks.erase(block) == 1;
    };
    api.WinUsb_Initialize = [](HANDLE file, PWINUSB_INTERFACE_HANDLE winusb) -> BOOL {
        log("WinUsb_Initialize " + name(file));
        fake.lastError = fake.initializeError;
        if (fake.initializeError != ERROR_SUCCESS || fake.files.count(file) == 0) {
            return FALSE;
        }
        *winusb = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(winusbBase + ++fake.initialized);
        return fake.winusbs.insert(*winusb).second;
    };
    api.WinUsb_Free = [](WINUSB_INTERFACE_HANDLE winusb) -> BOOL {
        log("WinUsb_Free " + name(winusb));
        return fake.winusbs.erase(winusb) == 1;
    };
    api.WinUsb_GetDescriptor = [](WINUSB_INTERFACE_HANDLE winusb, UCHAR type, UCHAR index,
                                  USHORT language, PUCHAR buffer, ULONG length,
                                  PULONG transferred) {
        char call[40];
        std::snprintf(call, sizeof call, " %u %u %04x %lu", type, index, language, length);
        return answer("WinUsb_GetDescriptor " + name(winusb) + call, buffer, length, transferred);
    };
    // Without an OVERLAPPED structure the transfer is synchronous, as it must be.
    api.WinUsb_ControlTransfer = [](WINUSB_INTERFACE_HANDLE winusb, WINUSB_SETUP_PACKET packet,
                                    PUCHAR buffer, ULONG length, PULONG transferred,
                                    LPOVERLAPPED overlapped) {
        char call[40];
        std::snprintf(call, sizeof call, " %02x %02x %04x %04x %04x %lu%s", packet.RequestType,
                      packet.Request, packet.Value, packet.Index, packet.Length, length,
                      overlapped != nullptr ? " overlapped" : "");
        return answer("WinUsb_ControlTransfer " + name(winusb) + call, buffer, length, transferred);
    };
    return api;
}

std::vector<std::string> callsStartingWith(const std::string& prefix) {
    std::vector<std::string> matching;
    std::copy_if(fake.calls.begin(), fake.calls.end(), std::back_inserter(matching),
                 [&](const std::string& call) { return call.starts_with(prefix); });
    return matching;
}

std::vector<std::string> deviceCalls() {
    std::vector<std::string> matching;
    std::copy_if(fake.calls.begin(), fake.calls.end(), std::back_inserter(matching),
                 [](const std::string& call) {
                     return !call.starts_with("size") && !call.starts_with("list") &&
                            !call.starts_with("Heap");
                 });
    return matching;
}

}  // namespace tavik::fake
