#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "device/SetupPacket.hpp"

// The requests the program exchanges with a unit, named once: the standard GET_DESCRIPTOR of
// USB 2.0 (9.4.3), the DFU 1.1 class requests on interface 0, and the unit's own restart request.
// The engine, the identification and the simulated unit all build and classify requests from
// these.
namespace tavik::usb {

// bmRequestType
inline constexpr std::uint8_t standardDeviceIn = 0x80;   // device to host, standard, device
inline constexpr std::uint8_t classInterfaceIn = 0xA1;   // device to host, class, interface
inline constexpr std::uint8_t classInterfaceOut = 0x21;  // host to device, class, interface

constexpr bool deviceToHost(std::uint8_t requestType) {
    return (requestType & 0x80) != 0;
}

// bRequest
inline constexpr std::uint8_t getDescriptor = 0x06;
inline constexpr std::uint8_t dfuDnload = 0x01;
inline constexpr std::uint8_t dfuUpload = 0x02;
inline constexpr std::uint8_t dfuGetStatus = 0x03;
inline constexpr std::uint8_t rebootToApp = 0xF0;

// Descriptor types (high byte of wValue of GET_DESCRIPTOR) and the one language asked for.
inline constexpr std::uint8_t deviceDescriptorType = 1;
inline constexpr std::uint8_t stringDescriptorType = 3;
inline constexpr std::uint16_t languageEnglishUs = 0x0409;
inline constexpr std::uint32_t deviceDescriptorLength = 18;

// DFU: the block every upload and download chunk is cut to, the status reply, and the state the
// unit must report (bState, byte 4 of the status) once an image is stored.
inline constexpr std::size_t dfuBlockSize = 64;
inline constexpr std::size_t dfuStatusLength = 6;
inline constexpr std::size_t dfuStatusStateByte = 4;
inline constexpr std::uint8_t dfuIdle = 2;

// How long a control transfer may take before the host gives up on it: libusb's transfers are
// given it, and it is WinUSB's own default for the default pipe.
inline constexpr std::chrono::milliseconds transferTimeout{5000};

// Setup packets of the requests, fields as on the wire.
constexpr SetupPacket descriptorRequest(std::uint8_t type, std::uint8_t index,
                                        std::uint16_t languageId, std::uint16_t length) {
    return {.requestType = standardDeviceIn,
            .request = getDescriptor,
            .value = static_cast<std::uint16_t>(type << 8 | index),
            .index = languageId,
            .length = length};
}

constexpr SetupPacket uploadRequest(std::uint16_t block) {
    return {.requestType = classInterfaceIn,
            .request = dfuUpload,
            .value = block,
            .index = 0,
            .length = dfuBlockSize};
}

constexpr SetupPacket downloadRequest(std::uint16_t block, std::uint16_t chunkLength) {
    return {.requestType = classInterfaceOut,
            .request = dfuDnload,
            .value = block,
            .index = 0,
            .length = chunkLength};
}

constexpr SetupPacket statusRequest() {
    return {.requestType = classInterfaceIn,
            .request = dfuGetStatus,
            .value = 0,
            .index = 0,
            .length = dfuStatusLength};
}

constexpr SetupPacket rebootRequest() {
    return {.requestType = classInterfaceOut,
            .request = rebootToApp,
            .value = 0,
            .index = 0,
            .length = 0};
}

}  // namespace tavik::usb
