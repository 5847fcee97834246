// retrieveDevicePath, openDevice and closeDevice against the scripted configuration manager,
// kernel32 and WinUSB of FakeWin32.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "FakeWin32.hpp"
#include "device/win32/DeviceData.hpp"
#include "device/win32/InterfaceClasses.hpp"

namespace tavik {
namespace {

using fake::FakeSystem;
using fake::fakeSystem;

// An interface path of exactly `length` code units, told apart by its last character.
std::wstring pathOfLength(std::size_t length, wchar_t last = L'a') {
    std::wstring path = L"\\\\?\\usb#vid_07fd&pid_000d#";
    path.resize(length - 1, L'x');
    path += last;
    return path;
}

const std::wstring unitA = L"\\\\?\\usb#vid_07fd&pid_000d#a#{bc8be9da}";
const std::wstring unitB = L"\\\\?\\usb#vid_07fd&pid_001d#b#{9935671a}";

// The calls of the fake log that start with `prefix`.
std::vector<std::string> callsStartingWith(const std::string& prefix) {
    std::vector<std::string> matching;
    for (const std::string& call : fakeSystem().calls) {
        if (call.rfind(prefix, 0) == 0) {
            matching.push_back(call);
        }
    }
    return matching;
}

class DeviceLayer : public ::testing::Test {
  protected:
    void SetUp() override { fake::resetFakeSystem(); }
    // Every path must free the list buffer it allocated.
    void TearDown() override { EXPECT_TRUE(fakeSystem().liveBlocks.empty()) << "leaked list"; }

    Win32Api api = fake::fakeApi();
};

TEST_F(DeviceLayer, PathIsCopiedWholeOrCutToTheBuffer) {
    constexpr WCHAR untouched = 0xABCD;
    const struct {
        std::size_t pathLength;
        ULONG bufferBytes;
        HResult result;
        std::size_t copiedLength;  // code units before the terminator
    } cases[] = {
        {259, 520, hrOk, 259},
        {260, 520, hrInsufficientBuffer, 259},
        {300, 520, hrInsufficientBuffer, 259},
        {5, 12, hrOk, 5},
        {6, 12, hrInsufficientBuffer, 5},
        {5, 13, hrOk, 5},  // an odd byte is no code unit
        {40, 2, hrInsufficientBuffer, 0},
        {40, 3, hrInsufficientBuffer, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.pathLength << " code units into " << c.bufferBytes << " bytes");
        fake::resetFakeSystem();
        const std::wstring path = pathOfLength(c.pathLength);
        fakeSystem().primary.paths = {path, unitB};
        std::vector<WCHAR> buffer(400, untouched);
        BOOL notFound = TRUE;

        EXPECT_EQ(
            retrieveDevicePath(api, buffer.data(), c.bufferBytes, &notFound, primaryInterfaceGuid),
            c.result);
        EXPECT_FALSE(notFound);
        EXPECT_EQ(std::wstring(buffer.data()), path.substr(0, c.copiedLength));
        EXPECT_EQ(buffer[c.copiedLength + 1], untouched) << "written past the terminator";
        EXPECT_TRUE(fakeSystem().liveBlocks.empty());
    }
}

TEST_F(DeviceLayer, BufferWithoutRoomForOneCodeUnitIsRejected) {
    for (const ULONG bytes : {0u, 1u}) {
        fake::resetFakeSystem();
        fakeSystem().primary.paths = {unitA};
        WCHAR buffer[4] = {L'k', L'e', L'e', L'p'};
        EXPECT_EQ(retrieveDevicePath(api, buffer, bytes, nullptr, primaryInterfaceGuid),
                  hrInvalidArg)
            << bytes;
        EXPECT_EQ(buffer[0], L'k') << bytes;
        EXPECT_TRUE(fakeSystem().liveBlocks.empty());
    }
}

TEST_F(DeviceLayer, EmptyClassIsNotFoundWithOrWithoutAFlag) {
    WCHAR path[MAX_PATH] = {};
    BOOL notFound = FALSE;
    EXPECT_EQ(retrieveDevicePath(api, path, sizeof path, &notFound, primaryInterfaceGuid),
              hrNotFound);
    EXPECT_TRUE(notFound);
    EXPECT_EQ(retrieveDevicePath(api, path, sizeof path, nullptr, primaryInterfaceGuid),
              hrNotFound);
}

TEST_F(DeviceLayer, ListGrowingBeforeTheFetchIsAskedForAgainUntilItFits) {
    fakeSystem().primary.paths = {unitA};
    fakeSystem().primary.arrivalsAfterSizeQuery = 3;
    WCHAR path[MAX_PATH] = {};

    EXPECT_EQ(retrieveDevicePath(api, path, sizeof path, nullptr, primaryInterfaceGuid), hrOk);
    EXPECT_EQ(std::wstring(path), unitA);
    EXPECT_EQ(callsStartingWith("size"), std::vector<std::string>(4, "size primary"));
    EXPECT_EQ(callsStartingWith("list"), std::vector<std::string>(4, "list primary"));
    // Each attempt allocates twice the reported length, zero-filled, and frees it again.
    const FakeSystem& fake = fakeSystem();
    ASSERT_EQ(fake.allocationSizes.size(), fake.reportedListLengths.size());
    for (std::size_t i = 0; i < fake.allocationSizes.size(); ++i) {
        EXPECT_EQ(fake.allocationSizes[i], 2u * fake.reportedListLengths[i]) << i;
        EXPECT_EQ(fake.allocationFlags[i], static_cast<DWORD>(HEAP_ZERO_MEMORY)) << i;
    }
    EXPECT_EQ(callsStartingWith("HeapFree").size(), fake.allocationSizes.size());
}

TEST_F(DeviceLayer, ConfigurationManagerFailuresAreMapped) {
    const struct {
        const char* name;
        CONFIGRET sizeFailure;
        CONFIGRET listFailure;
        bool mapper;
        HResult result;
        std::size_t fetches;
    } cases[] = {
        {"size query, known code", CR_ACCESS_DENIED, CR_SUCCESS, true, hrAccessDenied, 0},
        {"size query, unknown code", CR_NO_SUCH_DEVICE_INTERFACE, CR_SUCCESS, true, hrInvalidData,
         0},
        {"fetch, known code", CR_SUCCESS, CR_OUT_OF_MEMORY, true, static_cast<HResult>(0x80070008u),
         1},
        {"fetch, unknown code", CR_SUCCESS, CR_NO_SUCH_DEVICE_INTERFACE, true, hrInvalidData, 1},
        {"no mapping function", CR_ACCESS_DENIED, CR_SUCCESS, false, hrInvalidData, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake::resetFakeSystem();
        fakeSystem().primary.paths = {unitA};
        fakeSystem().primary.sizeFailure = c.sizeFailure;
        fakeSystem().primary.listFailure = c.listFailure;
        Win32Api table = api;
        if (!c.mapper) {
            table.CM_MapCrToWin32Err = nullptr;
        }
        WCHAR path[MAX_PATH] = {};
        BOOL notFound = TRUE;

        EXPECT_EQ(retrieveDevicePath(table, path, sizeof path, &notFound, primaryInterfaceGuid),
                  c.result);
        EXPECT_FALSE(notFound);
        EXPECT_EQ(callsStartingWith("size").size(), 1u) << "only CR_BUFFER_SMALL is retried";
        EXPECT_EQ(callsStartingWith("list").size(), c.fetches);
        EXPECT_TRUE(fakeSystem().liveBlocks.empty());
    }
}

TEST_F(DeviceLayer, AllocationFailureIsOutOfMemory) {
    // The first allocation, and the one after the list has grown (the first buffer was freed).
    for (const int failing : {0, 1}) {
        fake::resetFakeSystem();
        fakeSystem().primary.paths = {unitA};
        fakeSystem().primary.arrivalsAfterSizeQuery = 1;
        fakeSystem().failingAllocation = failing;
        WCHAR path[MAX_PATH] = {L'k'};
        BOOL notFound = TRUE;

        EXPECT_EQ(retrieveDevicePath(api, path, sizeof path, &notFound, primaryInterfaceGuid),
                  hrOutOfMemory)
            << failing;
        EXPECT_FALSE(notFound);
        EXPECT_EQ(path[0], L'k');
        EXPECT_EQ(callsStartingWith("list").size(), static_cast<std::size_t>(failing));
        EXPECT_TRUE(fakeSystem().liveBlocks.empty()) << failing;
    }
}

TEST_F(DeviceLayer, OpenChoosesTheClassAndReportsTheClassAskedLast) {
    const std::wstring fits = pathOfLength(259);
    const std::wstring tooLong = pathOfLength(260);
    const struct {
        const char* name;
        std::vector<std::wstring> primary;
        std::vector<std::wstring> secondary;
        HResult result;
        bool notFound;
        int classesAsked;               // 1: the primary only, 2: both
        std::wstring openedPath;        // empty: CreateFileW is not called
        std::wstring deniedPath = L"";  // CreateFileW fails with ERROR_ACCESS_DENIED for it
        CONFIGRET primarySizeFailure = CR_SUCCESS;
    } cases[] = {
        {"primary only", {unitA}, {}, hrOk, false, 1, unitA},
        {"secondary only", {}, {unitB}, hrOk, false, 2, unitB},
        {"both: primary wins", {unitA}, {unitB}, hrOk, false, 1, unitA},
        {"several: the first", {unitB, unitA}, {}, hrOk, false, 1, unitB},
        {"neither", {}, {}, hrNotFound, true, 2, L""},
        {"259 code units fit", {fits}, {unitB}, hrOk, false, 1, fits},
        {"260 code units: secondary asked", {tooLong}, {unitB}, hrOk, false, 2, unitB},
        {"260 code units, secondary empty", {tooLong}, {}, hrNotFound, true, 2, L""},
        {"primary lookup fails", {unitA}, {unitB}, hrOk, false, 2, unitB, L"", CR_ACCESS_DENIED},
        {"empty primary, secondary denied", {}, {unitB}, hrAccessDenied, false, 2, unitB, unitB},
        {"primary denied: no fallback", {unitA}, {unitB}, hrAccessDenied, false, 1, unitA, unitA},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake::resetFakeSystem();
        FakeSystem& fake = fakeSystem();
        fake.primary.paths = c.primary;
        fake.primary.sizeFailure = c.primarySizeFailure;
        fake.secondary.paths = c.secondary;
        if (!c.deniedPath.empty()) {
            fake.openErrors[c.deniedPath] = ERROR_ACCESS_DENIED;
        }
        DeviceData device{};
        BOOL notFound = !c.notFound;

        EXPECT_EQ(openDevice(api, device, &notFound), c.result);
        EXPECT_EQ(notFound != FALSE, c.notFound);
        std::vector<std::string> sizeQueries = {"size primary", "size secondary"};
        sizeQueries.resize(c.classesAsked);
        EXPECT_EQ(callsStartingWith("size"), sizeQueries);
        if (c.openedPath.empty()) {
            EXPECT_TRUE(fake.createFileCalls.empty());
        } else {
            ASSERT_EQ(fake.createFileCalls.size(), 1u);
            EXPECT_EQ(fake.createFileCalls[0].path, c.openedPath);
        }
        EXPECT_EQ(device.handlesOpen != FALSE, c.result == hrOk);
        EXPECT_EQ(fake.openFiles.size(), c.result == hrOk ? 1u : 0u);
        EXPECT_EQ(fake.liveWinUsbHandles.size(), c.result == hrOk ? 1u : 0u);
        closeDevice(api, device);
        EXPECT_TRUE(fake.openFiles.empty());
        EXPECT_TRUE(fake.liveBlocks.empty());
    }
}

TEST_F(DeviceLayer, OpenUsesOverlappedReadWriteAndInitializesOnTheFile) {
    fakeSystem().primary.paths = {unitA};
    DeviceData device{};
    BOOL notFound = TRUE;

    ASSERT_EQ(openDevice(api, device, &notFound), hrOk);
    const fake::CreateFileCall& open = fakeSystem().createFileCalls.at(0);
    EXPECT_EQ(open.access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(open.share, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_FALSE(open.securityAttributes);
    EXPECT_EQ(open.disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(open.flags, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED));
    EXPECT_FALSE(open.templateFile);
    EXPECT_EQ(fake::handleName(device.deviceHandle), "file1");
    EXPECT_EQ(fake::handleName(device.winusbHandle), "winusb1");
    EXPECT_EQ(std::wstring(device.devicePath), unitA);
    EXPECT_EQ(callsStartingWith("WinUsb"), std::vector<std::string>{"WinUsb_Initialize file1"});
    closeDevice(api, device);
}

TEST_F(DeviceLayer, FailedInitializeClosesTheFileAndReportsItsOwnError) {
    fakeSystem().primary.paths = {unitA};
    fakeSystem().initializeError = ERROR_GEN_FAILURE;
    DeviceData device{};
    BOOL notFound = TRUE;

    EXPECT_EQ(openDevice(api, device, &notFound), static_cast<HResult>(0x8007001Fu));
    EXPECT_FALSE(notFound);
    EXPECT_FALSE(device.handlesOpen);
    EXPECT_EQ(callsStartingWith("WinUsb_Initialize").size(), 1u);
    EXPECT_EQ(callsStartingWith("CloseHandle"), std::vector<std::string>{"CloseHandle file1"});
    EXPECT_TRUE(fakeSystem().openFiles.empty());
    EXPECT_TRUE(fakeSystem().liveWinUsbHandles.empty());

    // The stale handles of the failed open are never released again.
    closeDevice(api, device);
    EXPECT_EQ(callsStartingWith("CloseHandle").size(), 1u);
    EXPECT_TRUE(callsStartingWith("WinUsb_Free").empty());
}

TEST_F(DeviceLayer, CloseReleasesWinUsbThenTheFileOnlyOnce) {
    DeviceData never{};
    closeDevice(api, never);
    EXPECT_TRUE(fakeSystem().calls.empty()) << "closing a record that was never opened";

    fakeSystem().primary.paths = {unitA};
    DeviceData device{};
    ASSERT_EQ(openDevice(api, device, nullptr), hrOk);
    fakeSystem().calls.clear();

    closeDevice(api, device);
    closeDevice(api, device);
    EXPECT_FALSE(device.handlesOpen);
    EXPECT_EQ(fakeSystem().calls,
              (std::vector<std::string>{"WinUsb_Free winusb1", "CloseHandle file1"}));
    EXPECT_TRUE(fakeSystem().openFiles.empty());
    EXPECT_TRUE(fakeSystem().liveWinUsbHandles.empty());
}

}  // namespace
}  // namespace tavik
