// Imports WinUsb_Free statically, so that the import check has something to find.
#include <windows.h>

#include <winusb.h>

int main(int argc, char**) {
    return argc > 99 ? WinUsb_Free(nullptr) : 0;
}
