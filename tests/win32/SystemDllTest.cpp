// A winusb.dll planted beside this executable, and the same DLL as tavik-planted.dll (a name found
// only here), must never be what loadSystemWin32Api loads.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "device/win32/Win32Api.hpp"

namespace tavik {
namespace {

// The folder of a module's file; the executable's when `module` is null.
std::wstring folderOf(HMODULE module) {
    wchar_t file[MAX_PATH];
    std::wstring folder(file, GetModuleFileNameW(module, file, MAX_PATH));
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

TEST(SystemDll, TheTableComesFromTheSystemDirectoryOnly) {
    ASSERT_NE(GetFileAttributesW((folderOf(nullptr) + L"\\winusb.dll").c_str()),
              INVALID_FILE_ATTRIBUTES);
    // Every entry lies in a module of the system folder (cfgmgr32 may forward to another).
    const Win32ApiLoad load = loadSystemWin32Api();
    ASSERT_EQ(load.result, hrOk);
    wchar_t system[MAX_PATH];
    const std::wstring systemFolder(system, GetSystemDirectoryW(system, MAX_PATH));
    for (const auto entry : {reinterpret_cast<LPCWSTR>(load.api.WinUsb_ControlTransfer),
                             reinterpret_cast<LPCWSTR>(load.api.CM_Get_Device_Interface_ListW)}) {
        HMODULE module = nullptr;
        GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            entry, &module);
        ASSERT_NE(module, nullptr);
        EXPECT_EQ(_wcsicmp(folderOf(module).c_str(), systemFolder.c_str()), 0);
    }
    // A DLL only beside the executable is not found; one without the functions fails as such.
    const auto modNotFound = static_cast<HResult>(0x8007007Eu);
    EXPECT_EQ(loadSystemWin32Api(L"tavik-planted.dll").result, modNotFound);
    EXPECT_EQ(loadSystemWin32Api(L"winusb.dll", L"tavik-planted.dll").result, modNotFound);
    EXPECT_EQ(loadSystemWin32Api(L"kernel32.dll").result, static_cast<HResult>(0x8007007Fu));
    EXPECT_EQ(GetEnvironmentVariableW(L"TAVIK_PLANTED_WINUSB", nullptr, 0), 0u);

    // The control: with the default search order the planted DLL is found, and tells so.
    EXPECT_NE(LoadLibraryW(L"tavik-planted.dll"), nullptr);
    EXPECT_NE(GetEnvironmentVariableW(L"TAVIK_PLANTED_WINUSB", nullptr, 0), 0u);
}

}  // namespace
}  // namespace tavik
