#pragma once

// A scripted configuration manager, kernel32 and WinUSB behind a Win32Api table. Function
// pointers carry no context, so the fakes act on one process-wide FakeSystem.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "device/win32/InterfaceClasses.hpp"
#include "device/win32/Win32Api.hpp"

namespace tavik::fake {

struct InterfaceClass {
    std::vector<std::wstring> paths;  // present interfaces, in list order
    CONFIGRET sizeFailure = CR_SUCCESS, listFailure = CR_SUCCESS;
    int arrivals = 0;  // times a new interface arrives right after a size query
};

struct FakeSystem {
    InterfaceClass primary, secondary;
    DWORD openError = ERROR_SUCCESS,
          initializeError = ERROR_SUCCESS;  // of CreateFileW, WinUsb_Initialize
    int failingAllocation = -1;             // the HeapAlloc (from 0) that fails
    // A transfer copies 1, 2, 3 into the buffer, cut to its length, and reports `reported`; a
    // failed one leaves `transferError` as the last error.
    BOOL result = TRUE;
    ULONG reported = 0;
    DWORD transferError = ERROR_GEN_FAILURE;

    // Lookups made ("size primary"), device calls in order with their arguments, and calls whose
    // other arguments are not what the device layer must pass.
    std::map<std::string, int> lookups;
    std::vector<std::string> calls, unexpected;
    bool fileOpen = false, winusbOpen = false;
    std::map<void*, std::vector<WCHAR>> blocks;  // allocated, not freed
    DWORD lastError = ERROR_SUCCESS;
    ULONG listLength = 0;  // the last size query's answer
    int allocations = 0;
};

inline FakeSystem fake;

inline const HANDLE file = reinterpret_cast<HANDLE>(std::uintptr_t{0x1001}),
                    winusb = reinterpret_cast<HANDLE>(std::uintptr_t{0x2001}),
                    processHeap = reinterpret_cast<HANDLE>(std::uintptr_t{0x3000});

inline std::string name(const void* handle) {
    return handle == file ? "file1" : handle == winusb ? "winusb1" : "unknown";
}

inline void expect(bool asRequired, const std::string& call) {
    if (!asRequired) {
        fake.unexpected.push_back(call);
    }
}

inline InterfaceClass& lookUp(const char* what, const GUID* guid, DEVINSTID_W device, ULONG flags,
                              bool asRequired = true) {
    const bool primary = *guid == primaryInterfaceGuid;
    const std::string call = std::string(what) + (primary ? " primary" : " secondary");
    ++fake.lookups[call];
    expect(asRequired && (primary || *guid == secondaryInterfaceGuid) && device == nullptr &&
               flags == CM_GET_DEVICE_INTERFACE_LIST_PRESENT,
           call);
    return primary ? fake.primary : fake.secondary;
}

// Each path NUL-terminated, then one NUL.
inline std::wstring multiString(const InterfaceClass& c) {
    std::wstring list;
    for (const std::wstring& path : c.paths) {
        list += path + L'\0';
    }
    return list + L'\0';
}

inline BOOL answer(const std::string& call, PUCHAR buffer, ULONG length, PULONG transferred) {
    fake.calls.push_back(call);
    std::copy_n("\1\2\3", std::min<ULONG>(3, length), buffer);
    *transferred = fake.reported;
    if (!fake.result) {
        fake.lastError = fake.transferError;
    }
    return fake.result;
}

inline Win32Api fakeApi() {
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
        const InterfaceClass& c =
            lookUp("list", guid, device, flags,
                   fake.blocks.count(buffer) && fake.blocks[buffer].size() == length);
        const std::wstring list = multiString(c);
        if (c.listFailure != CR_SUCCESS || list.size() > length) {
            return c.listFailure ? c.listFailure : CR_BUFFER_SMALL;
        }
        std::copy(list.begin(), list.end(), buffer);
        return CR_SUCCESS;
    };
    api.CM_MapCrToWin32Err = [](CONFIGRET cr, DWORD defaultError) -> DWORD {
        return cr == CR_ACCESS_DENIED ? ERROR_ACCESS_DENIED : defaultError;
    };
    api.CreateFileW = [](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                         DWORD disposition, DWORD flags, HANDLE templateFile) {
        const std::wstring wide(path);
        fake.calls.push_back("CreateFileW " + std::string(wide.begin(), wide.end()));
        expect(access == (GENERIC_READ | GENERIC_WRITE) &&
                   share == (FILE_SHARE_READ | FILE_SHARE_WRITE) && security == nullptr &&
                   disposition == OPEN_EXISTING &&
                   flags == (FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED) &&
                   templateFile == nullptr,
               fake.calls.back());
        fake.lastError = fake.openError;
        return (fake.fileOpen = fake.openError == ERROR_SUCCESS) ? file : INVALID_HANDLE_VALUE;
    };
    api.CloseHandle = [](HANDLE handle) -> BOOL {
        fake.calls.push_back("CloseHandle " + name(handle));
        // Nothing promises the last error across a call: code that reads it late sees success.
        fake.lastError = ERROR_SUCCESS;
        return handle == file && std::exchange(fake.fileOpen, false);
    };
    api.GetLastError = []() { return fake.lastError; };
    api.GetProcessHeap = []() { return processHeap; };
    // The list buffer: twice the reported length in bytes, zero-filled, from the process heap.
    api.HeapAlloc = [](HANDLE heap, DWORD flags, SIZE_T bytes) -> LPVOID {
        expect(heap == processHeap && flags == HEAP_ZERO_MEMORY && bytes == 2 * fake.listLength,
               "HeapAlloc");
        if (fake.allocations++ == fake.failingAllocation) {
            return nullptr;
        }
        std::vector<WCHAR> block(std::max<SIZE_T>(bytes / 2, 1));
        return fake.blocks.emplace(block.data(), std::move(block)).first->first;
    };
    api.HeapFree = [](HANDLE heap, DWORD, LPVOID block) -> BOOL {
        expect(heap == processHeap, "HeapFree");
        return fake.blocks.erase(block) == 1;
    };
    api.WinUsb_Initialize = [](HANDLE handle, PWINUSB_INTERFACE_HANDLE usb) -> BOOL {
        fake.calls.push_back("WinUsb_Initialize " + name(handle));
        fake.lastError = fake.initializeError;
        *usb = winusb;
        return fake.winusbOpen = !fake.initializeError && handle == file && fake.fileOpen;
    };
    api.WinUsb_Free = [](WINUSB_INTERFACE_HANDLE usb) -> BOOL {
        fake.calls.push_back("WinUsb_Free " + name(usb));
        return usb == winusb && std::exchange(fake.winusbOpen, false);
    };
    api.WinUsb_GetDescriptor = [](WINUSB_INTERFACE_HANDLE usb, UCHAR type, UCHAR index,
                                  USHORT language, PUCHAR buffer, ULONG length,
                                  PULONG transferred) {
        char call[40];
        std::snprintf(call, sizeof call, " %u %u %04x %lu", type, index, language, length);
        return answer("WinUsb_GetDescriptor " + name(usb) + call, buffer, length, transferred);
    };
    api.WinUsb_ControlTransfer = [](WINUSB_INTERFACE_HANDLE usb, WINUSB_SETUP_PACKET packet,
                                    PUCHAR buffer, ULONG length, PULONG transferred,
                                    LPOVERLAPPED overlapped) {
        char call[40];
        std::snprintf(call, sizeof call, " %02x %02x %04x %04x %04x %lu%s", packet.RequestType,
                      packet.Request, packet.Value, packet.Index, packet.Length, length,
                      overlapped != nullptr ? " overlapped" : "");
        return answer("WinUsb_ControlTransfer " + name(usb) + call, buffer, length, transferred);
    };
    return api;
}

// Each scenario starts from a fresh FakeSystem and ends with no buffer, handle or odd call left.
class FakeWin32Test : public ::testing::Test {
  protected:
    void SetUp() override { fake = FakeSystem{}; }
    void TearDown() override { check(); }
    void fresh() {
        check();
        fake = FakeSystem{};
    }
    void check() {
        EXPECT_TRUE(fake.blocks.empty()) << "the list buffer leaked";
        EXPECT_FALSE(fake.fileOpen || fake.winusbOpen) << "a handle was left open";
        EXPECT_EQ(fake.unexpected, std::vector<std::string>{}) << "calls with wrong arguments";
    }
    Win32Api api = fakeApi();
};

}  // namespace tavik::fake
