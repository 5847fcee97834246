// The device adapter (DeviceData, Win32DeviceAccess, WinUsbTransport) against FakeWin32.
#include <gtest/gtest.h>
#include <objbase.h>

#include <memory>
#include <string>
#include <vector>

#include "FakeWin32.hpp"
#include "device/UsbProtocol.hpp"
#include "device/win32/DeviceData.hpp"
#include "device/win32/Win32DeviceAccess.hpp"

namespace tavik {
namespace {

using fake::fake;
using fake::FakeSystem;
using Calls = std::vector<std::string>;
using DeviceLayer = fake::FakeWin32Test;

// An interface path of exactly `length` code units.
std::wstring pathOfLength(std::size_t length) {
    return L"\\\\?\\" + std::wstring(length - 4, L'x');
}
const std::wstring unitA = L"\\\\?\\usb#vid_07fd&pid_000d#a",
                   unitB = L"\\\\?\\usb#vid_07fd&pid_001d#b";
std::string narrow(const std::wstring& path) {
    return std::string(path.begin(), path.end());
}

TEST_F(DeviceLayer, PathIsCopiedWholeOrCutAndTheListFetchedUntilItFits) {
    constexpr WCHAR untouched = 0xABCD;
    constexpr CONFIGRET ok = CR_SUCCESS, denied = CR_ACCESS_DENIED,
                        odd = CR_NO_SUCH_DEVICE_INTERFACE;
    const struct {
        ULONG pathLength, bufferBytes;
        CONFIGRET sizeFailure, listFailure;
        bool mapper;  // the table has CM_MapCrToWin32Err
        HResult result;
        // The list grows `arrivals` times after its size query; `copied`: code units before the
        // terminator, -1 for nothing written.
        int arrivals, failingAllocation, copied, fetches;
    } cases[] = {
        {259, 520, ok, ok, true, hrOk, 0, -1, 259, 1},
        {260, 520, ok, ok, true, hrInsufficientBuffer, 0, -1, 259, 1},
        {5, 13, ok, ok, true, hrOk, 0, -1, 5, 1},  // an odd byte is no code unit
        {40, 2, ok, ok, true, hrInsufficientBuffer, 0, -1, 0, 1},
        {40, 1, ok, ok, true, hrInvalidArg, 0, -1, -1, 1},
        {40, 520, ok, ok, true, hrOk, 3, -1, 40, 4},
        {40, 520, ok, ok, true, hrOutOfMemory, 0, 0, -1, 0},
        {40, 520, ok, ok, true, hrOutOfMemory, 1, 1, -1, 1},  // after the list grew
        {40, 520, denied, ok, true, hrAccessDenied, 0, -1, -1, 0},
        {40, 520, odd, ok, true, hrInvalidData, 0, -1, -1, 0},
        {40, 520, ok, denied, true, hrAccessDenied, 0, -1, -1, 1},
        {40, 520, ok, odd, true, hrInvalidData, 0, -1, -1, 1},
        {40, 520, denied, ok, false, hrInvalidData, 0, -1, -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << &c - cases);
        fresh();
        const std::wstring path = pathOfLength(c.pathLength);
        fake.primary = {{path, unitB}, c.sizeFailure, c.listFailure, c.arrivals};
        fake.failingAllocation = c.failingAllocation;
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
        EXPECT_EQ(fake.lookups["size primary"], c.arrivals + 1)
            << "only a grown list is asked again";
        EXPECT_EQ(fake.lookups["list primary"], c.fetches);
    }
}

// The secondary class is asked only when the primary lookup failed in any way; the flag tells
// whether the class asked last had no interface. WinUSB is released before the file.
TEST_F(DeviceLayer, OpenFindsOpensAndReleases) {
    using enum DeviceStatus;
    const std::wstring tooLong = pathOfLength(260), none;
    constexpr DWORD denied = ERROR_ACCESS_DENIED, broken = ERROR_GEN_FAILURE;
    const struct {
        const char* what;
        std::vector<std::wstring> primary, secondary;
        CONFIGRET primaryFailure;
        DWORD openError, initializeError;
        HResult result;
        DeviceStatus status;
        bool notFound;
        int classesAsked;
        const std::wstring& opened;
    } cases[] = {
        {"secondary only", {}, {unitB}, 0, 0, 0, hrOk, done, false, 2, unitB},
        {"both: the primary", {unitA}, {unitB}, 0, 0, 0, hrOk, done, false, 1, unitA},
        {"neither", {}, {}, 0, 0, 0, hrNotFound, notFound, true, 2, none},
        {"260 code units", {tooLong}, {unitB}, 0, 0, 0, hrOk, done, false, 2, unitB},
        {"260, none else", {tooLong}, {}, 0, 0, 0, hrNotFound, notFound, true, 2, none},
        {"primary fails", {unitA}, {unitB}, CR_ACCESS_DENIED, 0, 0, hrOk, done, false, 2, unitB},
        {"denied: no fallback",
         {unitA},
         {unitB},
         0,
         denied,
         0,
         hrAccessDenied,
         accessDenied,
         false,
         1,
         unitA},
        {"initialize fails",
         {unitA},
         {},
         0,
         0,
         broken,
         hresultFromWin32(broken),
         other,
         false,
         1,
         unitA},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fresh();
        fake.primary = {c.primary, c.primaryFailure};
        fake.secondary.paths = c.secondary;
        fake.openError = c.openError;
        fake.initializeError = c.initializeError;
        OpenResult open = Win32DeviceAccess{Win32ApiLoad{hrOk, api}}.openDevice();
        EXPECT_EQ(open.result.code, c.result);
        EXPECT_EQ(open.result.status, c.status);
        EXPECT_EQ(open.deviceNotFound, c.notFound);
        EXPECT_EQ(open.device != nullptr, c.result == hrOk);
        EXPECT_EQ(fake.lookups["size primary"], 1);
        EXPECT_EQ(fake.lookups["size secondary"], c.classesAsked - 1);

        // The error of a failed WinUsb_Initialize is its own, not that of the CloseHandle after.
        const std::string create = "CreateFileW " + narrow(c.opened),
                          init = "WinUsb_Initialize file1";
        const Calls expected =
            c.opened.empty()    ? Calls{}
            : c.openError       ? Calls{create}
            : c.initializeError ? Calls{create, init, "CloseHandle file1"}
                                : Calls{create, init, "WinUsb_Free winusb1", "CloseHandle file1"};
        EXPECT_EQ(fake.winusbOpen, c.result == hrOk) << "released before its owner let go";
        open.device.reset();
        EXPECT_EQ(fake.calls, expected);
    }

    // Without the system's functions nothing is called at all.
    fresh();
    const auto dllMissing = static_cast<HResult>(0x8007007Eu);
    const OpenResult open = Win32DeviceAccess{Win32ApiLoad{dllMissing, api}}.openDevice();
    EXPECT_EQ(open.result.code, dllMissing);
    EXPECT_EQ(open.result.status, other);
    EXPECT_FALSE(open.deviceNotFound);
    EXPECT_TRUE(fake.lookups.empty() && fake.calls.empty());
}

TEST_F(DeviceLayer, CloseReleasesWinUsbThenTheFileOnce) {
    DeviceData device{};
    EXPECT_EQ(openDevice(api, device, nullptr).code, hrNotFound) << "the flag is optional";
    closeDevice(api, device);
    fake.primary.paths = {unitA};
    ASSERT_TRUE(openDevice(api, device, nullptr).ok());
    closeDevice(api, device);
    closeDevice(api, device);
    EXPECT_EQ(fake.calls, (Calls{"CreateFileW " + narrow(unitA), "WinUsb_Initialize file1",
                                 "WinUsb_Free winusb1", "CloseHandle file1"}));
}

TEST_F(DeviceLayer, TransfersReachWinUsbFieldByField) {
    fake.primary.paths = {unitA};
    const std::shared_ptr<UsbTransport> unit = Win32DeviceAccess{{hrOk, api}}.openDevice().device;
    ASSERT_NE(unit, nullptr);
    const struct {
        SetupPacket setup;
        ULONG bufferLength, reported;
        BOOL result;
        const char* call;
    } cases[] = {
        {{0x21, 1, 0x1234, 0, 0}, 0, 0, TRUE, "21 01 1234 0000 0000 0"},
        {{0xC3, 0xF0, 0x1234, 0x5678, 0x9ABC}, 6, 5, TRUE, "c3 f0 1234 5678 9abc 6"},
        {{0xA1, 3, 0, 0, 6}, 6, 5, FALSE, "a1 03 0000 0000 0006 6"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        fake.calls.clear();
        fake.result = c.result;
        fake.reported = c.reported;
        std::uint8_t buffer[64] = {};
        std::uint32_t transferred = 0xDEADBEEF;
        EXPECT_EQ(unit->controlTransfer(c.setup, c.bufferLength > 0 ? buffer : nullptr,
                                        c.bufferLength, transferred)
                      .ok(),
                  c.result != FALSE);
        EXPECT_EQ(transferred, c.result ? c.reported : 0) << "no count on failure";
        EXPECT_EQ(fake.calls, Calls{std::string("WinUsb_ControlTransfer winusb1 ") + c.call});
        EXPECT_EQ(buffer[2], c.bufferLength > 0 ? 3 : 0) << "the data lands in the caller's buffer";
    }

    for (const BOOL result : {TRUE, FALSE}) {
        fake.calls.clear();
        fake.result = result;
        fake.reported = 10;
        std::uint8_t buffer[18] = {};
        std::uint32_t transferred = 99;
        EXPECT_EQ(unit->getDescriptor(3, 2, 0x0409, buffer, 18, transferred).ok(), result != FALSE);
        EXPECT_EQ(transferred, result ? 10u : 0u);
        EXPECT_EQ(buffer[2], 3);
        EXPECT_EQ(fake.calls, Calls{"WinUsb_GetDescriptor winusb1 3 2 0409 18"});
    }
}

// What the last error of a failed call tells the core, by where it failed (Win32Error.hpp): the
// open's CreateFileW and WinUsb_Initialize, a transfer's WinUsb_ControlTransfer and
// WinUsb_GetDescriptor. The code is the error's HRESULT whatever its status.
TEST_F(DeviceLayer, LastErrorsBecomeTheStatusOfTheirCall) {
    using enum DeviceStatus;
    constexpr DWORD noSuchDevice = 433;  // ERROR_NO_SUCH_DEVICE, which MinGW-w64 does not name
    const struct {
        DWORD error;
        DeviceStatus atOpen, inTransfer;
    } cases[] = {
        {ERROR_GEN_FAILURE, other, stalled},
        {ERROR_SEM_TIMEOUT, timedOut, timedOut},
        {ERROR_DEVICE_NOT_CONNECTED, gone, gone},
        {noSuchDevice, gone, gone},
        {ERROR_BAD_COMMAND, gone, gone},
        {ERROR_FILE_NOT_FOUND, notFound, gone},
        {ERROR_NOT_FOUND, notFound, gone},
        {ERROR_ACCESS_DENIED, accessDenied, accessDenied},
        {ERROR_BUSY, busy, busy},
        {ERROR_SHARING_VIOLATION, busy, busy},
        {ERROR_INVALID_HANDLE, other, other},
        {0x10005, accessDenied, accessDenied},  // what HRESULT_FROM_WIN32 keeps of it
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        const HResult code = hresultFromWin32(c.error);
        for (DWORD FakeSystem::*step : {&FakeSystem::openError, &FakeSystem::initializeError}) {
            fresh();
            fake.primary.paths = {unitA};
            fake.*step = c.error;
            const OpenResult open = Win32DeviceAccess{Win32ApiLoad{hrOk, api}}.openDevice();
            EXPECT_EQ(open.result.status, c.atOpen);
            EXPECT_EQ(open.result.code, code);
        }
        fresh();
        fake.primary.paths = {unitA};
        const std::shared_ptr<UsbTransport> unit =
            Win32DeviceAccess{{hrOk, api}}.openDevice().device;
        ASSERT_NE(unit, nullptr);
        fake.result = FALSE;
        fake.transferError = c.error;
        std::uint8_t buffer[18] = {};
        std::uint32_t transferred = 0;
        const DeviceResult transfer =
            unit->controlTransfer(usb::statusRequest(), buffer, 6, transferred);
        const DeviceResult descriptor = unit->getDescriptor(1, 0, 0, buffer, 18, transferred);
        for (const DeviceResult& result : {transfer, descriptor}) {
            EXPECT_EQ(result.status, c.inTransfer);
            EXPECT_EQ(result.code, code);
        }
    }

    // A lookup the configuration manager refuses is access denied too, as the window tells it.
    fresh();
    fake.primary.sizeFailure = fake.secondary.sizeFailure = CR_ACCESS_DENIED;
    const OpenResult open = Win32DeviceAccess{Win32ApiLoad{hrOk, api}}.openDevice();
    EXPECT_EQ(open.result.status, accessDenied);
    EXPECT_EQ(open.result.code, hrAccessDenied);
}

TEST(InterfaceClasses, GuidsMatchTheirRegistryForm) {
    for (const auto& [guid, text] :
         {std::pair{primaryInterfaceGuid, L"{BC8BE9DA-FC94-4C06-9D5B-2D673802E032}"},
          {secondaryInterfaceGuid, L"{9935671A-F192-4FAB-A7EE-4358C36F76C3}"}}) {
        wchar_t printed[39] = {};
        StringFromGUID2(guid, printed, 39);
        EXPECT_STREQ(printed, text);
    }
}

// An error that reads as zero or negative passes; others keep 16 bits under the Win32 facility.
TEST(HResultFromWin32, NonPositiveErrorsPassAndOthersTakeTheWin32Facility) {
    for (const auto& [error, result] : {std::pair{0u, 0u},
                                        {0x1234ABCDu, 0x8007ABCDu},
                                        {0x7FFFFFFFu, 0x8007FFFFu},
                                        {0x80004005u, 0x80004005u}}) {
        EXPECT_EQ(static_cast<std::uint32_t>(hresultFromWin32(error)), result) << error;
    }
}

}  // namespace
}  // namespace tavik
