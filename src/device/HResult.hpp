#pragma once

#include <cstdint>

namespace tavik {

// 32-bit result codes of the device layer, as Windows spells them; negative means failure.
using HResult = std::int32_t;

inline constexpr HResult hrOk = 0;                                           // S_OK
inline constexpr HResult hrNotFound = static_cast<HResult>(0x80070490u);     // ERROR_NOT_FOUND
inline constexpr HResult hrOutOfMemory = static_cast<HResult>(0x8007000Eu);  // E_OUTOFMEMORY
inline constexpr HResult hrInsufficientBuffer = static_cast<HResult>(0x8007007Au);
inline constexpr HResult hrInvalidArg = static_cast<HResult>(0x80070057u);    // E_INVALIDARG
inline constexpr HResult hrInvalidData = static_cast<HResult>(0x8007000Du);   // ERROR_INVALID_DATA
inline constexpr HResult hrAccessDenied = static_cast<HResult>(0x80070005u);  // ERROR_ACCESS_DENIED

// A Win32 error code as an HRESULT: e itself when e <= 0 (read as signed), otherwise
// (e & 0xFFFF) | 0x80070000.
constexpr HResult hresultFromWin32(std::uint32_t error) {
    return static_cast<std::int32_t>(error) <= 0
               ? static_cast<HResult>(error)
               : static_cast<HResult>((error & 0xFFFFu) | 0x80070000u);
}

inline constexpr bool failed(HResult result) {
    return result < 0;
}

}  // namespace tavik
