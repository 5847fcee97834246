#pragma once

// A scripted stand-in for the configuration manager, the kernel32 calls and WinUSB, reached
// through a Win32Api table. Function pointers carry no context, so the fakes act on one
// process-wide FakeSystem, which every test resets in its fixture.
#include <windows.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "device/win32/Win32Api.hpp"

namespace tavik::fake {

// One device-interface class as the configuration manager reports it.
struct InterfaceClass {
    std::vector<std::wstring> paths;  // present interfaces, in list order
    CONFIGRET sizeFailure = CR_SUCCESS;
    CONFIGRET listFailure = CR_SUCCESS;
    // How many times a new interface arrives right after a size query, before the fetch.
    int arrivalsAfterSizeQuery = 0;
};

struct CreateFileCall {
    std::wstring path;
    DWORD access = 0;
    DWORD share = 0;
    bool securityAttributes = false;
    DWORD disposition = 0;
    DWORD flags = 0;
    bool templateFile = false;
};

struct ControlTransferCall {
    WINUSB_INTERFACE_HANDLE handle = nullptr;
    WINUSB_SETUP_PACKET packet{};
    const UCHAR* buffer = nullptr;
    ULONG bufferLength = 0;
    ULONG transferredOnEntry = 0;
    bool overlapped = false;
};

struct GetDescriptorCall {
    WINUSB_INTERFACE_HANDLE handle = nullptr;
    UCHAR type = 0;
    UCHAR index = 0;
    USHORT languageId = 0;
    const UCHAR* buffer = nullptr;
    ULONG bufferLength = 0;
};

// A scripted reply of WinUsb_ControlTransfer or WinUsb_GetDescriptor.
struct Reply {
    BOOL result = TRUE;
    std::vector<std::uint8_t> data;  // copied into the caller's buffer, cut to its length
    ULONG reportedTransferred = 0;   // what WinUSB reports, also on failure
};

struct FakeSystem {
    // --- Script ---
    InterfaceClass primary;
    InterfaceClass secondary;
    std::map<std::wstring, DWORD> openErrors;  // CreateFileW fails for these paths
    DWORD initializeError = ERROR_SUCCESS;     // WinUsb_Initialize fails when not 0
    int failingAllocation = -1;                // index of the HeapAlloc that returns null
    // What the fake CM_MapCrToWin32Err knows; anything else gives its default.
    std::map<CONFIGRET, DWORD> knownConfigRets = {{CR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
                                                  {CR_OUT_OF_MEMORY, ERROR_NOT_ENOUGH_MEMORY}};
    Reply controlReply;
    Reply descriptorReply;

    // --- Observations ---
    // Every call, in order: "size primary", "list secondary", "CreateFileW", "CloseHandle file1",
    // "WinUsb_Initialize file1", "WinUsb_Free winusb1", "WinUsb_ControlTransfer winusb1", ...
    std::vector<std::string> calls;
    std::vector<ULONG> reportedListLengths;  // each size query's answer
    std::vector<SIZE_T> allocationSizes;
    std::vector<DWORD> allocationFlags;
    std::map<void*, std::vector<std::uint8_t>> liveBlocks;
    std::set<HANDLE> openFiles;
    std::set<WINUSB_INTERFACE_HANDLE> liveWinUsbHandles;
    std::vector<CreateFileCall> createFileCalls;
    std::vector<ControlTransferCall> controlTransfers;
    std::vector<GetDescriptorCall> descriptorReads;

    // --- Internal ---
    DWORD lastError = ERROR_SUCCESS;
    int allocations = 0;
    int filesOpened = 0;
    int winusbInitialized = 0;
    int arrivals = 0;
};

// The instance the fake functions act on.
FakeSystem& fakeSystem();

// Puts a fresh FakeSystem in place.
void resetFakeSystem();

// A table whose every entry is a fake.
Win32Api fakeApi();

// The log name of a handle handed out by the fake ("file1", "winusb2").
std::string handleName(const void* handle);

}  // namespace tavik::fake
