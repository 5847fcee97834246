// The exports of taviksimunit.dll. The replacement winusb.dll and cfgmgr32.dll forward the
// system names to these (see the .def files), so both reach the one bus of the process. Their
// own names differ from the system ones so that nothing here clashes with the SDK's
// declarations of the real functions.
#include "sim/win32/SimulatedBus.hpp"

namespace {

tavik::sim::SimulatedBus& bus() {
    return tavik::sim::SimulatedBus::instance();
}

// What the configuration manager's failures mean as Win32 errors, as far as a lookup of
// interface paths can meet them; anything else is the caller's default.
DWORD mapConfigRet(CONFIGRET cr, DWORD defaultError) {
    switch (cr) {
        case CR_SUCCESS:
            return ERROR_SUCCESS;
        case CR_OUT_OF_MEMORY:
            return ERROR_NOT_ENOUGH_MEMORY;
        case CR_INVALID_POINTER:
            return ERROR_INVALID_USER_BUFFER;
        case CR_INVALID_FLAG:
            return ERROR_INVALID_FLAGS;
        case CR_INVALID_DATA:
            return ERROR_INVALID_DATA;
        case CR_BUFFER_SMALL:
            return ERROR_INSUFFICIENT_BUFFER;
        case CR_NO_SUCH_DEVICE_INTERFACE:
        case CR_NO_SUCH_VALUE:
            return ERROR_NOT_FOUND;
        case CR_ACCESS_DENIED:
            return ERROR_ACCESS_DENIED;
        default:
            return defaultError;
    }
}

}  // namespace

extern "C" {

__declspec(dllexport) CONFIGRET WINAPI
    SimCM_Get_Device_Interface_List_SizeW(PULONG length, LPGUID interfaceClass, DEVINSTID_W,
                                          ULONG) {
    return bus().interfaceListSize(interfaceClass, length);
}

__declspec(dllexport) CONFIGRET WINAPI
    SimCM_Get_Device_Interface_ListW(LPGUID interfaceClass, DEVINSTID_W, PWCHAR buffer,
                                     ULONG length, ULONG) {
    return bus().interfaceList(interfaceClass, buffer, length);
}

__declspec(dllexport) DWORD WINAPI SimCM_MapCrToWin32Err(CONFIGRET cr, DWORD defaultError) {
    return mapConfigRet(cr, defaultError);
}

__declspec(dllexport) BOOL WINAPI
    SimWinUsb_Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle) {
    return bus().initialize(file, handle);
}

__declspec(dllexport) BOOL WINAPI SimWinUsb_Free(WINUSB_INTERFACE_HANDLE handle) {
    return bus().free(handle);
}

__declspec(dllexport) BOOL WINAPI
    SimWinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE handle, UCHAR type, UCHAR index,
                            USHORT languageId, PUCHAR buffer, ULONG length, PULONG transferred) {
    return bus().getDescriptor(handle, type, index, languageId, buffer, length, transferred);
}

// Synchronous only, as the program uses it: an OVERLAPPED request is refused.
__declspec(dllexport) BOOL WINAPI
    SimWinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE handle, WINUSB_SETUP_PACKET setup,
                              PUCHAR buffer, ULONG length, PULONG transferred,
                              LPOVERLAPPED overlapped) {
    if (overlapped != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return bus().controlTransfer(handle, setup, buffer, length, transferred);
}

}  // extern "C"
