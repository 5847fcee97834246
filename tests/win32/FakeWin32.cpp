#include "FakeWin32.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "device/win32/InterfaceClasses.hpp"

namespace tavik::fake {
namespace {

std::unique_ptr<FakeSystem> instance = std::make_unique<FakeSystem>();

// Fake handles are small numbers in disjoint ranges, so that a log line names what it got.
constexpr std::uintptr_t fileHandleBase = 0x1000;
constexpr std::uintptr_t winusbHandleBase = 0x2000;
const HANDLE processHeap = reinterpret_cast<HANDLE>(std::uintptr_t{0x3000});

std::string className(const GUID* guid) {
    if (guid != nullptr && *guid == primaryInterfaceGuid) {
        return "primary";
    }
    if (guid != nullptr && *guid == secondaryInterfaceGuid) {
        return "secondary";
    }
    return "other";
}

InterfaceClass* findClass(const GUID* guid) {
    const std::string name = className(guid);
    if (name == "primary") {
        return &fakeSystem().primary;
    }
    if (name == "secondary") {
        return &fakeSystem().secondary;
    }
    return nullptr;
}

// The multi-string the configuration manager returns: each path NUL-terminated, then one NUL.
std::wstring multiString(const InterfaceClass* interfaceClass) {
    std::wstring list;
    if (interfaceClass != nullptr) {
        for (const std::wstring& path : interfaceClass->paths) {
            list += path;
            list += L'\0';
        }
    }
    list += L'\0';
    return list;
}

// Marks a call whose arguments differ from what the device layer must pass.
std::string checked(std::string entry, bool argumentsAsRequired) {
    return argumentsAsRequired ? entry : entry + " (unexpected arguments)";
}

CONFIGRET WINAPI fakeListSize(PULONG length, LPGUID guid, DEVINSTID_W deviceId, ULONG flags) {
    FakeSystem& fake = fakeSystem();
    fake.calls.push_back(
        checked("size " + className(guid),
                deviceId == nullptr && flags == CM_GET_DEVICE_INTERFACE_LIST_PRESENT));
    InterfaceClass* interfaceClass = findClass(guid);
    if (interfaceClass != nullptr && interfaceClass->sizeFailure != CR_SUCCESS) {
        return interfaceClass->sizeFailure;
    }
    *length = static_cast<ULONG>(multiString(interfaceClass).size());
    fake.reportedListLengths.push_back(*length);
    if (interfaceClass != nullptr && interfaceClass->arrivalsAfterSizeQuery > 0) {
        --interfaceClass->arrivalsAfterSizeQuery;
        interfaceClass->paths.push_back(L"\\\\?\\usb#vid_07fd&pid_000d#arrived" +
                                        std::to_wstring(++fake.arrivals));
    }
    return CR_SUCCESS;
}

CONFIGRET WINAPI fakeList(LPGUID guid, DEVINSTID_W deviceId, PWCHAR buffer, ULONG length,
                          ULONG flags) {
    FakeSystem& fake = fakeSystem();
    fake.calls.push_back(
        checked("list " + className(guid),
                deviceId == nullptr && flags == CM_GET_DEVICE_INTERFACE_LIST_PRESENT));
    const InterfaceClass* interfaceClass = findClass(guid);
    if (interfaceClass != nullptr && interfaceClass->listFailure != CR_SUCCESS) {
        return interfaceClass->listFailure;
    }
    const std::wstring list = multiString(interfaceClass);
    if (list.size() > length) {
        return CR_BUFFER_SMALL;
    }
    std::copy(list.begin(), list.end(), buffer);
    return CR_SUCCESS;
}

DWORD WINAPI fakeMapCr(CONFIGRET cr, DWORD defaultError) {
    const auto known = fakeSystem().knownConfigRets.find(cr);
    return known != fakeSystem().knownConfigRets.end() ? known->second : defaultError;
}

HANDLE WINAPI fakeCreateFile(LPCWSTR path, DWORD access, DWORD share,
                             LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                             HANDLE templateFile) {
    FakeSystem& fake = fakeSystem();
    fake.calls.push_back("CreateFileW");
    fake.createFileCalls.push_back(
        {path, access, share, security != nullptr, disposition, flags, templateFile != nullptr});
    const auto error = fake.openErrors.find(path);
    if (error != fake.openErrors.end()) {
        fake.lastError = error->second;
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE file = reinterpret_cast<HANDLE>(fileHandleBase + ++fake.filesOpened);
    fake.openFiles.insert(file);
    return file;
}

BOOL WINAPI fakeCloseHandle(HANDLE handle) {
    FakeSystem& fake = fakeSystem();
    fake.calls.push_back("CloseHandle " + handleName(handle));
    // Windows does not promise to keep the last error across a call; this fake clears it, so
    // code that reads it too late sees success.
    fake.lastError = ERROR_SUCCESS;
    return fake.openFiles.erase(handle) == 1 ? TRUE : FALSE;
}

DWORD WINAPI fakeGetLastError() {
    return fakeSystem().lastError;
}

HANDLE WINAPI fakeGetProcessHeap() {
    return processHeap;
}

LPVOID WINAPI fakeHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    FakeSystem& fake = fakeSystem();
    fake.calls.push_back(heap == processHeap ? "HeapAlloc" : "HeapAlloc (another heap)");
    if (fake.allocations++ == fake.failingAllocation) {
        return nullptr;
    }
    fake.allocationSizes.push_back(bytes);
    fake.allocationFlags.push_back(flags);
    // Not zero-filled unless asked: stale bytes show up where the caller relies on zeros.
    std::vector<std::uint8_t> block(std::max<SIZE_T>(bytes, 1),
                                    (flags & HEAP_ZERO_MEMORY) != 0 ? 0x00 : 0xCD);
    void* address = block.data();
    fake.liveBlocks.emplace(address, std::move(block));
    return address;
}

BOOL WINAPI fakeHeapFree(HANDLE heap, DWORD, LPVOID block) {
    FakeSystem& fake = fakeSystem();
    fake.calls.push_back(heap == processHeap ? "HeapFree" : "HeapFree (another heap)");
    return fake.liveBlocks.erase(block) == 1 ? TRUE : FALSE;
}

BOOL WINAPI fakeInitialize(HANDLE file, PWINUSB_INTERFACE_HANDLE winusb) {
    FakeSystem& fake = fakeSystem();
    fake.calls.push_back("WinUsb_Initialize " + handleName(file));
    if (fake.initializeError != ERROR_SUCCESS || fake.openFiles.count(file) == 0) {
        fake.lastError =
            fake.initializeError != ERROR_SUCCESS ? fake.initializeError : ERROR_INVALID_HANDLE;
        return FALSE;
    }
    *winusb =
        reinterpret_cast<WINUSB_INTERFACE_HANDLE>(winusbHandleBase + ++fake.winusbInitialized);
    fake.liveWinUsbHandles.insert(*winusb);
    return TRUE;
}

BOOL WINAPI fakeFree(WINUSB_INTERFACE_HANDLE winusb) {
    FakeSystem& fake = fakeSystem();
    fake.calls.push_back("WinUsb_Free " + handleName(winusb));
    return fake.liveWinUsbHandles.erase(winusb) == 1 ? TRUE : FALSE;
}

// Delivers a scripted reply the way WinUSB does: data into the buffer, a count reported.
BOOL deliver(const Reply& reply, PUCHAR buffer, ULONG length, PULONG transferred) {
    const std::size_t bytes = std::min<std::size_t>(reply.data.size(), length);
    if (bytes > 0) {
        std::memcpy(buffer, reply.data.data(), bytes);
    }
    *transferred = reply.reportedTransferred;
    return reply.result;
}

BOOL WINAPI fakeGetDescriptor(WINUSB_INTERFACE_HANDLE winusb, UCHAR type, UCHAR index,
                              USHORT languageId, PUCHAR buffer, ULONG length, PULONG transferred) {
    FakeSystem& fake = fakeSystem();
    fake.calls.push_back("WinUsb_GetDescriptor " + handleName(winusb));
    fake.descriptorReads.push_back({winusb, type, index, languageId, buffer, length});
    return deliver(fake.descriptorReply, buffer, length, transferred);
}

BOOL WINAPI fakeControlTransfer(WINUSB_INTERFACE_HANDLE winusb, WINUSB_SETUP_PACKET packet,
                                PUCHAR buffer, ULONG length, PULONG transferred,
                                LPOVERLAPPED overlapped) {
    FakeSystem& fake = fakeSystem();
    fake.calls.push_back("WinUsb_ControlTransfer " + handleName(winusb));
    fake.controlTransfers.push_back(
        {winusb, packet, buffer, length, *transferred, overlapped != nullptr});
    return deliver(fake.controlReply, buffer, length, transferred);
}

}  // namespace

FakeSystem& fakeSystem() {
    return *instance;
}

void resetFakeSystem() {
    instance = std::make_unique<FakeSystem>();
}

Win32Api fakeApi() {
    Win32Api api;
    api.CM_Get_Device_Interface_List_SizeW = &fakeListSize;
    api.CM_Get_Device_Interface_ListW = &fakeList;
    api.CM_MapCrToWin32Err = &fakeMapCr;
    api.CreateFileW = &fakeCreateFile;
    api.CloseHandle = &fakeCloseHandle;
    api.GetLastError = &fakeGetLastError;
    api.GetProcessHeap = &fakeGetProcessHeap;
    api.HeapAlloc = &fakeHeapAlloc;
    api.HeapFree = &fakeHeapFree;
    api.WinUsb_Initialize = &fakeInitialize;
    api.WinUsb_Free = &fakeFree;
    api.WinUsb_GetDescriptor = &fakeGetDescriptor;
    api.WinUsb_ControlTransfer = &fakeControlTransfer;
    return api;
}

std::string handleName(const void* handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value > fileHandleBase && value < winusbHandleBase) {
        return "file" + std::to_string(value - fileHandleBase);
    }
    if (value > winusbHandleBase && value < winusbHandleBase + 0x1000) {
        return "winusb" + std::to_string(value - winusbHandleBase);
    }
    return "unknown";
}

}  // namespace tavik::fake
