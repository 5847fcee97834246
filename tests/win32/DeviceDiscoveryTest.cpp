// retrieveDevicePath, openDevice and closeDevice against the scripted system of FakeWin32.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "FakeWin32.hpp"
#include "device/win32/DeviceData.hpp"
#include "device/win32/InterfaceClasses.hpp"

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

TEST_F(DeviceLayer, PathIsCopiedWholeOrCutToTheBuffer) {
    constexpr WCHAR untouched = 0xABCD;
    const struct {
        std::size_t pathLength;
        ULONG bufferBytes;
        HResult result;
        int copied;  // code units before the terminator; -1: nothing written
    } cases[] = {
        {259, 520, hrOk, 259},
        {260, 520, hrInsufficientBuffer, 259},
        {300, 520, hrInsufficientBuffer, 259},
        {5, 12, hrOk, 5},
        {6, 12, hrInsufficientBuffer, 5},
        {5, 13, hrOk, 5},  // an odd byte is no code unit
        {40, 2, hrInsufficientBuffer, 0},
        {40, 3, hrInsufficientBuffer, 0},
        {40, 1, hrInvalidArg, -1},
        {40, 0, hrInvalidArg, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.pathLength << " code units into " << c.bufferBytes);
        fresh();
        const std::wstring path = pathOfLength(c.pathLength);
        fakeSystem().primary.paths = {path, unitB};
        std::vector<WCHAR> buffer(400, untouched);
        BOOL notFound = TRUE;
        EXPECT_EQ(
            retrieveDevicePath(api, buffer.data(), c.bufferBytes, &notFound, primaryInterfaceGuid),
            c.result);
        EXPECT_FALSE(notFound);
        if (c.copied < 0) {
            EXPECT_EQ(buffer[0], untouched);
        } else {
            EXPECT_EQ(std::wstring(buffer.data()), path.substr(0, c.copied));
            EXPECT_EQ(buffer[c.copied + 1], untouched) << "written past the terminator";
        }
    }
}

// The list is fetched again only when it grew between its size query and its fetch.
TEST_F(DeviceLayer, ListFetchRetriesAGrowingListAndMapsFailures) {
    const struct {
        const char* what;
        int arrivals, failingAllocation;
        CONFIGRET sizeFailure, listFailure;
        bool mapper;  // the table has CM_MapCrToWin32Err
        HResult result;
        std::size_t sizeQueries, fetches;
    } cases[] = {
        {"grows three times", 3, -1, CR_SUCCESS, CR_SUCCESS, true, hrOk, 4, 4},
        {"first allocation fails", 0, 0, CR_SUCCESS, CR_SUCCESS, true, hrOutOfMemory, 1, 0},
        {"second allocation fails", 1, 1, CR_SUCCESS, CR_SUCCESS, true, hrOutOfMemory, 2, 1},
        {"size query, known", 0, -1, CR_ACCESS_DENIED, CR_SUCCESS, true, hrAccessDenied, 1, 0},
        {"size query, unknown", 0, -1, CR_NO_SUCH_DEVICE_INTERFACE, CR_SUCCESS, true, hrInvalidData,
         1, 0},
        {"fetch, known", 0, -1, CR_SUCCESS, CR_OUT_OF_MEMORY, true,
         static_cast<HResult>(0x80070008u), 1, 1},
        {"fetch, unknown", 0, -1, CR_SUCCESS, CR_NO_SUCH_DEVICE_INTERFACE, true, hrInvalidData, 1,
         1},
        {"no mapper", 0, -1, CR_ACCESS_DENIED, CR_SUCCESS, false, hrInvalidData, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fresh();
        fakeSystem().primary = {{unitA}, c.sizeFailure, c.listFailure, c.arrivals};
        fakeSystem().failingAllocation = c.failingAllocation;
        Win32Api table = api;
        table.CM_MapCrToWin32Err = c.mapper ? api.CM_MapCrToWin32Err : nullptr;
        WCHAR path[MAX_PATH] = {L'k'};
        BOOL notFound = TRUE;
        EXPECT_EQ(retrieveDevicePath(table, path, sizeof path, &notFound, primaryInterfaceGuid),
                  c.result);
        EXPECT_FALSE(notFound);
        EXPECT_EQ(std::wstring(path), c.result == hrOk ? unitA : L"k");
        EXPECT_EQ(count("size primary"), c.sizeQueries);
        EXPECT_EQ(count("list primary"), c.fetches);
    }
}

// The secondary class is asked only when the primary lookup failed in any way; the flag tells
// whether the class asked last had no interface. Closing releases WinUSB, then the file, once.
TEST_F(DeviceLayer, OpenFindsOpensAndCloses) {
    DeviceData never{};
    closeDevice(api, never);
    EXPECT_TRUE(fakeSystem().calls.empty()) << "a record never opened";

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
        DeviceData device{};
        BOOL notFound = !c.notFound;
        EXPECT_EQ(openDevice(api, device, &notFound), c.result);
        EXPECT_EQ(notFound != FALSE, c.notFound);
        EXPECT_EQ(count("size primary") + count("size secondary"), c.classesAsked);
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
        EXPECT_EQ(fake::deviceCalls(), expected);
        EXPECT_EQ(device.handlesOpen != FALSE, c.result == hrOk);
        if (c.result == hrOk) {
            EXPECT_EQ(std::wstring(device.devicePath), c.opened);
            expected.insert(expected.end(), {"WinUsb_Free winusb1", "CloseHandle file1"});
        }
        closeDevice(api, device);
        closeDevice(api, device);
        EXPECT_EQ(fake::deviceCalls(), expected);
        EXPECT_TRUE(fakeSystem().files.empty());
        EXPECT_TRUE(fakeSystem().winusbs.empty());
        if (c.notFound) {
            EXPECT_EQ(retrieveDevicePath(api, device.devicePath, sizeof device.devicePath, nullptr,
                                         secondaryInterfaceGuid),
                      hrNotFound)
                << "the flag is optional";
        }
    }
}

}  // namespace
}  // namespace tavik
