#pragma once

// The two device-interface classes under which the unit is found. The lookup asks the primary
// class first and the secondary one only when that fails; the window registers for arrival and
// removal notifications of both.
#include <windows.h>

namespace tavik {

// {BC8BE9DA-FC94-4C06-9D5B-2D673802E032}
inline constexpr GUID primaryInterfaceGuid = {
    0xBC8BE9DA, 0xFC94, 0x4C06, {0x9D, 0x5B, 0x2D, 0x67, 0x38, 0x02, 0xE0, 0x32}};

// {9935671A-F192-4FAB-A7EE-4358C36F76C3}
inline constexpr GUID secondaryInterfaceGuid = {
    0x9935671A, 0xF192, 0x4FAB, {0xA7, 0xEE, 0x43, 0x58, 0xC3, 0x6F, 0x76, 0xC3}};

}  // namespace tavik
