#pragma once

// A scripted configuration manager, kernel32 and WinUSB behind a Win32Api table. Function
// pointers carry no context, so the fakes act on one process-wide FakeSystem.
#include <gtest/gtest.h>
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
    int arrivals = 0;  // times a new interface arrives right after a size query
};

struct FakeSystem {
    InterfaceClass primary, secondary;
    DWORD openError = ERROR_SUCCESS;        // CreateFileW fails with it
    DWORD initializeError = ERROR_SUCCESS;  // WinUsb_Initialize fails with it
    int failingAllocation = -1;             // the HeapAlloc (from 0) that returns null
    // WinUsb_ControlTransfer and WinUsb_GetDescriptor: the data goes into the caller's buffer,
    // cut to its length; `reported` is the count WinUSB reports, also on failure.
    BOOL result = TRUE;
    std::vector<std::uint8_t> data;
    ULONG reported = 0;

    // Every call, in order: "size primary", "list secondary", "HeapAlloc", "HeapFree",
    // "CreateFileW <path>", "WinUsb_Initialize file1", "WinUsb_Free winusb1", "CloseHandle file1",
    // "WinUsb_ControlTransfer winusb1 a1 02 0007 0000 0040 64" (the setup packet's fields, then
    // the buffer length), "WinUsb_GetDescriptor winusb1 3 2 0409 255". A call whose other
    // arguments differ from what the device layer must pass is marked " (unexpected arguments)".
    std::vector<std::string> calls;
    std::set<HANDLE> files;                      // open
    std::set<WINUSB_INTERFACE_HANDLE> winusbs;   // initialized, not freed
    std::map<void*, std::vector<WCHAR>> blocks;  // allocated, not freed

    DWORD lastError = ERROR_SUCCESS;
    ULONG listLength = 0;  // the last size query's answer
    int allocations = 0, filesOpened = 0, initialized = 0;
};

FakeSystem& fakeSystem();
Win32Api fakeApi();
std::vector<std::string> callsStartingWith(const std::string& prefix);
// The calls to neither the configuration manager nor the heap.
std::vector<std::string> deviceCalls();

// Each scenario starts from a fresh FakeSystem; at its end no list buffer may be left and no
// call may have had unexpected arguments.
class FakeWin32Test : public ::testing::Test {
  protected:
    void SetUp() override { fakeSystem() = FakeSystem{}; }
    void TearDown() override { check(); }
    void fresh() {
        check();
        fakeSystem() = FakeSystem{};
    }
    void check() {
        EXPECT_TRUE(fakeSystem().blocks.empty()) << "the list buffer leaked";
        for (const std::string& call : fakeSystem().calls) {
            EXPECT_EQ(call.find("unexpected"), std::string::npos) << call;
        }
    }
    Win32Api api = fakeApi();
};

}  // namespace tavik::fake
