// The simulated unit of the replacement DLLs reached through the Windows adapter: each way a
// transfer of the unit ends leaves the last error WinUSB leaves for that cause, and the adapter
// reads it back as the status the unit gave. The table points at taviksimunit.dll, beside the
// test, which the replacement winusb.dll and cfgmgr32.dll of the end-to-end runs forward to.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "device/UsbProtocol.hpp"
#include "device/win32/Win32DeviceAccess.hpp"

namespace tavik {
namespace {

template <typename Function>
void resolve(HMODULE module, const char* name, Function& slot) {
    slot = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    EXPECT_NE(slot, nullptr) << name;
}

// The scenario the bus reads at its first call, in a folder of its own where its files go.
std::wstring writeScenario(const char* text) {
    wchar_t here[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, here);
    const std::wstring folder = std::wstring(here) + L"\\sim-dll-test";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring path = folder + L"\\unit.scn";
    if (std::FILE* file = _wfopen(path.c_str(), L"wb")) {
        std::fputs(text, file);
        std::fclose(file);
    }
    return path;
}

TEST(SimulatedDlls, TransfersEndWithTheUnitsStatus) {
    const std::wstring scenario = writeScenario(
        "[unit]\nstall device-descriptor 0\nfail status 0\nstall status 1\nreboot-fails\n");
    ASSERT_TRUE(SetEnvironmentVariableW(L"TAVIK_SIM_SCENARIO", scenario.c_str()));
    const HMODULE sim = LoadLibraryW(L"taviksimunit.dll");
    ASSERT_NE(sim, nullptr);
    Win32Api api;
    resolve(sim, "SimCM_Get_Device_Interface_List_SizeW", api.CM_Get_Device_Interface_List_SizeW);
    resolve(sim, "SimCM_Get_Device_Interface_ListW", api.CM_Get_Device_Interface_ListW);
    resolve(sim, "SimCM_MapCrToWin32Err", api.CM_MapCrToWin32Err);
    resolve(sim, "SimWinUsb_Initialize", api.WinUsb_Initialize);
    resolve(sim, "SimWinUsb_Free", api.WinUsb_Free);
    resolve(sim, "SimWinUsb_GetDescriptor", api.WinUsb_GetDescriptor);
    resolve(sim, "SimWinUsb_ControlTransfer", api.WinUsb_ControlTransfer);
    api.CreateFileW = &::CreateFileW;
    api.CloseHandle = &::CloseHandle;
    api.GetLastError = &::GetLastError;
    api.GetProcessHeap = &::GetProcessHeap;
    api.HeapAlloc = &::HeapAlloc;
    api.HeapFree = &::HeapFree;

    Win32DeviceAccess devices(Win32ApiLoad{hrOk, api});
    const OpenResult open = devices.openDevice();
    ASSERT_TRUE(open.result.ok()) << std::hex << open.result.code;
    ASSERT_NE(open.device, nullptr);

    using enum DeviceStatus;
    const std::optional<SetupPacket> descriptor, status = usb::statusRequest();
    const struct {
        const char* what;
        std::optional<SetupPacket> request;  // none: a device-descriptor read
        DeviceStatus status;
        std::uint32_t transferred;
    } steps[] = {
        {"descriptor stalled", descriptor, stalled, 0},
        {"descriptor", descriptor, done, 18},
        {"status fails on the bus", status, other, 0},
        {"status stalled", status, stalled, 0},
        {"status", status, done, 6},
        {"restart fails as the unit drops off", usb::rebootRequest(), other, 0},
        {"status, the unit gone", status, gone, 0},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        std::uint8_t buffer[18] = {};
        std::uint32_t transferred = 99;
        const DeviceResult result =
            step.request ? open.device->controlTransfer(*step.request, buffer, step.request->length,
                                                        transferred)
                         : open.device->getDescriptor(usb::deviceDescriptorType, 0, 0, buffer, 18,
                                                      transferred);
        EXPECT_EQ(result.status, step.status);
        EXPECT_EQ(transferred, step.transferred);
    }
    // The unit restarted into its application: no longer listed.
    const OpenResult again = devices.openDevice();
    EXPECT_EQ(again.result.status, notFound);
    EXPECT_TRUE(again.deviceNotFound);
}

}  // namespace
}  // namespace tavik
