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

namespace tavik {
namespace {

bool plantedDllLoaded() {
    return GetEnvironmentVariableW(L"TAVIK_PLANTED_WINUSB", nullptr, 0) != 0;
}

// The folder of a module's file, lower-cased; the executable's when `module` is null.
std::wstring folderOf(HMODULE module) {
    wchar_t file[MAX_PATH];
    std::wstring folder(file, GetModuleFileNameW(module, file, MAX_PATH));
    folder.erase(folder.find_last_of(L"\\/"));
    for (wchar_t& c : folder) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return folder;
}

bool besideTheExecutable(const wchar_t* name) {
    return GetFileAttributesW((folderOf(nullptr) + L"\\" + name).c_str()) !=
           INVALID_FILE_ATTRIBUTES;
}

// Child: 0 when "winusb.dll" loaded by name, with the default search order, is the planted file.
int loadByName() {
    return LoadLibraryW(L"winusb.dll") == nullptr ? 2 : plantedDllLoaded() ? 0 : 1;
}

// Child: 0 when the table loads, the planted DLL never ran, and the entries lie in modules of the
// system folder (cfgmgr32 may forward to another system DLL).
int loadTable() {
    const Win32ApiLoad load = loadSystemWin32Api();
    if (failed(load.result) || plantedDllLoaded()) {
        return failed(load.result) ? 2 : 1;
    }
    wchar_t system[MAX_PATH];
    std::wstring systemFolder(system, GetSystemDirectoryW(system, MAX_PATH));
    for (wchar_t& c : systemFolder) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    for (const auto entry : {reinterpret_cast<LPCWSTR>(load.api.WinUsb_ControlTransfer),
                             reinterpret_cast<LPCWSTR>(load.api.CM_Get_Device_Interface_ListW)}) {
        HMODULE module = nullptr;
        GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            entry, &module);
        if (module == nullptr || folderOf(module) != systemFolder) {
            return 3;
        }
    }
    return 0;
}

// Runs this executable with `mode` and returns its exit code.
DWORD runChild(const wchar_t* mode) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" " + mode;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return 1000 + GetLastError();
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}

TEST(SystemDll, PlantedDllIsFoundByNameButNeverByTheTable) {
    ASSERT_TRUE(besideTheExecutable(L"winusb.dll")) << "the planted winusb.dll is missing";
    EXPECT_EQ(runChild(L"--load-by-name"), 0u)
        << "1: the system's was loaded, 2: none; either way the next check proves nothing";
    EXPECT_EQ(runChild(L"--load-table"), 0u)
        << "1: the planted DLL was loaded, 2: the load failed, 3: an entry outside system32";
}

TEST(SystemDll, LoadFailuresGiveTheLoadersCodes) {
    // tavik-planted.dll exists only beside this executable; kernel32.dll is a system DLL without
    // the WinUSB exports.
    ASSERT_TRUE(besideTheExecutable(L"tavik-planted.dll"));
    const auto modNotFound = static_cast<HResult>(0x8007007Eu);
    EXPECT_EQ(loadSystemWin32Api(L"tavik-planted.dll").result, modNotFound);
    EXPECT_EQ(loadSystemWin32Api(L"winusb.dll", L"tavik-planted.dll").result, modNotFound);
    EXPECT_EQ(loadSystemWin32Api(L"kernel32.dll").result, static_cast<HResult>(0x8007007Fu));
    EXPECT_FALSE(plantedDllLoaded());
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
