// The system-directory rule, checked against the loader itself: a winusb.dll planted beside this
// executable (tests/win32/planted) must never be what loadSystemWin32Api loads.
//
// The loads run in child processes of this executable (--load-by-name, --load-table), each
// reporting by its exit code, so that every load starts with nothing loaded yet: once a
// winusb.dll is in a process, a later load by name just returns it.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <cwctype>
#include <string>

#include "device/win32/Win32Api.hpp"
#include "device/win32/Win32DeviceAccess.hpp"

namespace tavik {
namespace {

bool plantedDllRevealedItself() {
    wchar_t value[64];
    return GetEnvironmentVariableW(L"TAVIK_PLANTED_WINUSB", value, 64) != 0;
}

std::wstring lowercase(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return text;
}

std::wstring folderOf(const std::wstring& file) {
    return file.substr(0, file.find_last_of(L"\\/"));
}

std::wstring executableFolder() {
    wchar_t file[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, file, MAX_PATH);
    return folderOf(std::wstring(file, length));
}

std::wstring systemFolder() {
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder, length);
}

// The file of the module that contains `address`.
std::wstring moduleFileOf(const void* address) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCWSTR>(address), &module)) {
        return L"";
    }
    wchar_t file[MAX_PATH];
    const DWORD length = GetModuleFileNameW(module, file, MAX_PATH);
    return std::wstring(file, length);
}

std::wstring plantedFile() {
    return executableFolder() + L"\\winusb.dll";
}

// Runs this executable with `mode` and returns its exit code.
DWORD runChild(const wchar_t* mode) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" " + mode;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0,
                                        nullptr, nullptr, &startup, &process);
    if (!started) {
        return 1000 + GetLastError();
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}

// Child: loads "winusb.dll" by name, with the default search order.
int loadByName() {
    if (LoadLibraryW(L"winusb.dll") == nullptr) {
        return 2;
    }
    return plantedDllRevealedItself() ? 0 : 1;  // 0: the planted file was loaded
}

// Child: loads the table. 0 when every entry lies in a module of the system folder and the
// planted DLL never ran.
int loadTable() {
    const Win32ApiLoad load = loadSystemWin32Api();
    if (failed(load.result)) {
        return 2;
    }
    if (plantedDllRevealedItself()) {
        return 1;
    }
    const Win32Api& api = load.api;
    const void* entries[] = {reinterpret_cast<const void*>(api.WinUsb_Initialize),
                             reinterpret_cast<const void*>(api.WinUsb_Free),
                             reinterpret_cast<const void*>(api.WinUsb_GetDescriptor),
                             reinterpret_cast<const void*>(api.WinUsb_ControlTransfer),
                             reinterpret_cast<const void*>(api.CM_Get_Device_Interface_List_SizeW),
                             reinterpret_cast<const void*>(api.CM_Get_Device_Interface_ListW)};
    for (const void* entry : entries) {
        // cfgmgr32 may forward to another system DLL; any module of the system folder will do.
        if (lowercase(folderOf(moduleFileOf(entry))) != lowercase(systemFolder())) {
            return 3;
        }
    }
    return 0;
}

TEST(SystemDll, PlantedDllIsWhereTheDefaultSearchOrderFindsIt) {
    ASSERT_NE(GetFileAttributesW(plantedFile().c_str()), INVALID_FILE_ATTRIBUTES)
        << "the planted winusb.dll is missing beside the test";
    EXPECT_EQ(runChild(L"--load-by-name"), 0u) << "1: the system's, 2: none";
}

TEST(SystemDll, TableIgnoresThePlantedDll) {
    ASSERT_NE(GetFileAttributesW(plantedFile().c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(runChild(L"--load-table"), 0u)
        << "1: the planted DLL was loaded, 2: the load failed, 3: an entry outside system32";
}

TEST(SystemDll, DllOnlyBesideTheExecutableIsNotFound) {
    // tavik-planted.dll exists only in this executable's folder.
    ASSERT_NE(GetFileAttributesW((executableFolder() + L"\\tavik-planted.dll").c_str()),
              INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(loadSystemWin32Api(L"tavik-planted.dll").result, static_cast<HResult>(0x8007007Eu));
    EXPECT_EQ(loadSystemWin32Api(L"winusb.dll", L"tavik-planted.dll").result,
              static_cast<HResult>(0x8007007Eu));
    EXPECT_FALSE(plantedDllRevealedItself());
}

TEST(SystemDll, MissingFunctionFailsTheWholeTable) {
    // kernel32.dll is a system DLL without the WinUSB exports.
    EXPECT_EQ(loadSystemWin32Api(L"kernel32.dll").result, static_cast<HResult>(0x8007007Fu));
}

bool runningUnderWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

TEST(SystemDll, SystemLookupWithoutAUnitFindsNone) {
    // The test machine has no unit attached; the system's own configuration manager answers.
    Win32DeviceAccess access;
    ASSERT_EQ(access.loadResult(), hrOk);
    const OpenResult open = access.openDevice();
    EXPECT_EQ(open.device, nullptr);
    if (runningUnderWine()) {
        // Wine 8's size query fails with CR_FAILURE for every class, and its cfgmgr32.dll has
        // no CM_MapCrToWin32Err, so the code is the default mapping's (its list fetch is a stub
        // that raises an exception, and must not be reached).
        EXPECT_EQ(open.result, hrInvalidData);
        EXPECT_FALSE(open.deviceNotFound);
    } else {
        EXPECT_EQ(open.result, hrNotFound);
        EXPECT_TRUE(open.deviceNotFound);
    }
}

}  // namespace
}  // namespace tavik

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--load-by-name") == 0) {
        return tavik::loadByName();
    }
    if (argc == 2 && std::strcmp(argv[1], "--load-table") == 0) {
        return tavik::loadTable();
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
