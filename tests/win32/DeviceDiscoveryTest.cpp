// Finding, opening and closing the unit (DeviceData, Win32DeviceAccess) against the scripted
// system of FakeWin32.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "FakeWin32.hpp"
#include "device/win32/DeviceData.hpp"
#include "device/win32/InterfaceClasses.hpp"
#include "device/win32/Win32DeviceAccess.hpp"

namespace tavik {
namespace {

using fake::fakeSystem;
using Calls = std::vector<std::string>;
using DeviceLayer = fake::FakeWin32Test;

// An interface path of exactly `length` code units.
std::wstring pathOfLength(std::size_t length) {
    std::wstring path = L"\\\\?\\usb#vid_07fd&pid_000d#";
    path.resize(length, L'x');
    return path;
}
const std::wstring unitA = L"\\\\?\\usb#vid_07fd&pid_000d#a",
                   unitB = L"\\\\?\\usb#vid_07fd&pid_001d#b";

std::size_t count(const std::string& prefix) {
    return fake::callsStartingWith(prefix).size();
}

TEST_F(DeviceLayer, PathIsCopiedWholeOrCutAndTheListFetchedUntilItFits) {
    constexpr WCHAR untouched = 0xABCD;
    constexpr CONFIGRET ok = CR_SUCCESS, denied = CR_ACCESS_DENIED,
                        odd = CR_NO_SUCH_DEVICE_INTERFACE;
    const auto noMemory = static_cast<HResult>(0x80070008u);  // ERROR_NOT_ENOUGH_MEMORY
    const struct {
        std::size_t pathLength;
        ULONG bufferBytes;
        int arrivals, failingAllocation;  // arrivals: the list grows after its size query
        CONFIGRET sizeFailure, listFailure;
        bool mapper;  // the table has CM_MapCrToWin32Err
        HResult result;
        int copied;  // code units before the terminator; -1: nothing written
        std::size_t fetches;
    } cases[] = {
        {259, 520, 0, -1, ok, ok, true, hrOk, 259, 1},
        {260, 520, 0, -1, ok, ok, true, hrInsufficientBuffer, 259, 1},
        {5, 13, 0, -1, ok, ok, true, hrOk, 5, 1},  // an odd byte is no code unit
        {40, 2, 0, -1, ok, ok, true, hrInsufficientBuffer, 0, 1},
        {40, 1, 0, -1, ok, ok, true, hrInvalidArg, -1, 1},
        {40, 520, 3, -1, ok, ok, true, hrOk, 40, 4},
        {40, 520, 0, 0, ok, ok, true, hrOutOfMemory, -1, 0},
        {40, 520, 1, 1, ok, ok, true, hrOutOfMemory, -1, 1},  // after the list grew
        {40, 520, 0, -1, denied, ok, true, hrAccessDenied, -1, 0},
        {40, 520, 0, -1, odd, ok, true, hrInvalidData, -1, 0},
        {40, 520, 0, -1, ok, CR_OUT_OF_MEMORY, true, noMemory, -1, 1},
        {40, 520, 0, -1, ok, odd, true, hrInvalidData, -1, 1},
        {40, 520, 0, -1, denied, ok, false, hrInvalidData, -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << &c - cases);
        fresh();
        const std::wstring path = pathOfLength(c.pathLength);
        fakeSystem().primary = {{path, unitB}, c.sizeFailure, c.listFailure, c.arrivals};
        fakeSystem().failingAllocation = c.failingAllocation;
        Win32Api table = api;
        table.CM_MapCrToWin32Err = c.mapper ? api.CM_MapCrToWin32Err : nullptr;
        std::vector<WCHAR> buffer(400, untouched);
        BOOL notFound = TRUE;
        EXPECT_EQ(retrieveDevicePath(table, buffer.data(), c.bufferBytes, &notFound,
                                     primaryInterfaceGuid),
                  c.result);
        EXPECT_FALSE(notFound);
        if (c.copied < 0) {
            EXPECT_EQ(buffer[0], untouched);
        } else {
            EXPECT_EQ(std::wstring(buffer.data()), path.substr(0, c.copied));
            EXPECT_EQ(buffer[c.copied + 1], untouched) << "written past the terminator";
        }
        EXPECT_EQ(count("size primary"), c.arrivals + 1u) << "only a grown list is asked again";
        EXPECT_EQ(count("list primary"), c.fetches);
    }
}

// The secondary class is asked only when the primary lookup failed in any way; the flag tells
// whether the class asked last had no interface. The unit found is opened for overlapped I/O
// and its WinUSB interface released before its file once the last owner lets go.
TEST_F(DeviceLayer, OpenFindsOpensAndReleases) {
    const std::wstring fits = pathOfLength(259), tooLong = pathOfLength(260), none;
    constexpr DWORD denied = ERROR_ACCESS_DENIED, broken = ERROR_GEN_FAILURE;
    const struct {
        const char* what;
        std::vector<std::wstring> primary, secondary;
        CONFIGRET primaryFailure;
        DWORD openError, initializeError;
        HResult result;
        bool notFound;
        std::size_t classesAsked;
        const std::wstring& opened;
    } cases[] = {
        {"primary only", {unitA}, {}, 0, 0, 0, hrOk, false, 1, unitA},
        {"secondary only", {}, {unitB}, 0, 0, 0, hrOk, false, 2, unitB},
        {"both: the primary", {unitA}, {unitB}, 0, 0, 0, hrOk, false, 1, unitA},
        {"several: the first", {unitB, unitA}, {}, 0, 0, 0, hrOk, false, 1, unitB},
        {"neither", {}, {}, 0, 0, 0, hrNotFound, true, 2, none},
        {"259 code units", {fits}, {unitB}, 0, 0, 0, hrOk, false, 1, fits},
        {"260 code units", {tooLong}, {unitB}, 0, 0, 0, hrOk, false, 2, unitB},
        {"260, none else", {tooLong}, {}, 0, 0, 0, hrNotFound, true, 2, none},
        {"primary fails", {unitA}, {unitB}, CR_ACCESS_DENIED, 0, 0, hrOk, false, 2, unitB},
        {"denied", {}, {unitB}, 0, denied, 0, hrAccessDenied, false, 2, unitB},
        {"denied: no fallback", {unitA}, {unitB}, 0, denied, 0, hrAccessDenied, false, 1, unitA},
        {"initialize fails", {unitA}, {}, 0, 0, broken, hresultFromWin32(broken), false, 1, unitA},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fresh();
        fakeSystem().primary = {c.primary, c.primaryFailure};
        fakeSystem().secondary.paths = c.secondary;
        fakeSystem().openError = c.openError;
        fakeSystem().initializeError = c.initializeError;
        OpenResult open = Win32DeviceAccess{Win32ApiLoad{hrOk, api}}.openDevice();
        EXPECT_EQ(open.result, c.result);
        EXPECT_EQ(open.deviceNotFound, c.notFound);
        EXPECT_EQ(open.device != nullptr, c.result == hrOk);
        EXPECT_EQ(count("size primary"), 1u);
        EXPECT_EQ(count("size secondary"), c.classesAsked - 1);

        Calls expected;
        if (!c.opened.empty()) {
            expected.push_back("CreateFileW " + std::string(c.opened.begin(), c.opened.end()));
        }
        if (!c.opened.empty() && c.openError == 0) {
            expected.push_back("WinUsb_Initialize file1");
        }
        if (c.initializeError != 0) {
            expected.push_back("CloseHandle file1");  // and the error is WinUsb_Initialize's
        }
        if (c.result == hrOk) {
            expected.insert(expected.end(), {"WinUsb_Free winusb1", "CloseHandle file1"});
        }
        open.device.reset();
        EXPECT_EQ(fake::deviceCalls(), expected);
        EXPECT_TRUE(fakeSystem().files.empty());
        EXPECT_TRUE(fakeSystem().winusbs.empty());
    }

    // Without the system's functions nothing is called at all.
    fresh();
    const auto dllMissing = static_cast<HResult>(0x8007007Eu);
    const OpenResult open = Win32DeviceAccess{Win32ApiLoad{dllMissing, api}}.openDevice();
    EXPECT_EQ(open.result, dllMissing);
    EXPECT_FALSE(open.deviceNotFound);
    EXPECT_TRUE(fakeSystem().calls.empty());
}

TEST_F(DeviceLayer, CloseReleasesWinUsbThenTheFileOnlyOnce) {
    DeviceData device{};
    EXPECT_EQ(openDevice(api, device, nullptr), hrNotFound) << "the flag is optional";
    closeDevice(api, device);
    fakeSystem().primary.paths = {unitA};
    ASSERT_EQ(openDevice(api, device, nullptr), hrOk);
    EXPECT_EQ(std::wstring(device.devicePath), unitA);
    closeDevice(api, device);
    closeDevice(api, device);
    EXPECT_FALSE(device.handlesOpen);
    EXPECT_EQ(fake::deviceCalls(),
              (Calls{"CreateFileW " + std::string(unitA.begin(), unitA.end()),
                     "WinUsb_Initialize file1", "WinUsb_Free winusb1", "CloseHandle file1"}));
}

}  // namespace
}  // namespace tavik
