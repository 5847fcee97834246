#include "device/Identification.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "device/UsbProtocol.hpp"

namespace tavik {

namespace {

std::uint16_t little16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

// DFU_UPLOAD of block 0: the header of the image the unit holds.
std::string readVersion(UsbTransport& device) {
    std::array<std::uint8_t, usb::dfuBlockSize> reply{};
    std::uint32_t transferred = 0;
    // Only the count matters: a reply of fewer than 64 bytes holds no whole header.
    device.controlTransfer(usb::uploadRequest(0), reply.data(), reply.size(), transferred);
    return transferred == reply.size() ? versionFromReply(reply) : std::string();
}

}  // namespace

Identification identifyDevice(UsbTransport& device, std::uint16_t vendorId,
                              std::uint16_t productId1, std::uint16_t productId2,
                              std::uint16_t productId3, DeviceIdentity& identity) {
    std::array<std::uint8_t, usb::deviceDescriptorLength> descriptor{};
    std::uint32_t transferred = 0;
    const DeviceResult read = device.getDescriptor(
        usb::deviceDescriptorType, 0, 0, descriptor.data(), descriptor.size(), transferred);
    if (!read.ok() || transferred != descriptor.size()) {
        return Identification::descriptorError;
    }
    const std::uint16_t idVendor = little16(&descriptor[8]);
    const std::uint16_t idProduct = little16(&descriptor[10]);
    const std::uint8_t iProduct = descriptor[15];
    const std::uint8_t iSerialNumber = descriptor[16];

    if (idVendor != vendorId) {
        return Identification::notRecognised;
    }
    if (idProduct == productId2) {
        std::string product = getStringDescriptor(device, iProduct);
        identity.product = product.substr(0, 2);
        identity.serial = getStringDescriptor(device, iSerialNumber);
        identity.version = shortBranchVersion;
        return Identification::recognised;
    }
    if (idProduct == productId1 || idProduct == productId3) {
        identity.product = getStringDescriptor(device, iProduct);
        identity.serial = getStringDescriptor(device, iSerialNumber);
        identity.version = readVersion(device);
        return Identification::recognised;
    }
    return Identification::notRecognised;
}

std::string getStringDescriptor(UsbTransport& device, std::uint8_t index) {
    std::uint8_t bLength = 0;
    std::uint32_t transferred = 0;
    // The result is not needed: after a failed read bLength is still 0.
    device.getDescriptor(usb::stringDescriptorType, index, usb::languageEnglishUs, &bLength, 1,
                         transferred);
    if (bLength == 0) {
        return {};
    }
    std::vector<std::uint8_t> descriptor(bLength, 0);
    device.getDescriptor(usb::stringDescriptorType, index, usb::languageEnglishUs,
                         descriptor.data(), bLength, transferred);
    const std::size_t characters = bLength / 2 >= 1 ? bLength / 2 - 1 : 0;
    std::string text(characters, '\0');
    for (std::size_t i = 0; i < characters; ++i) {
        text[i] = static_cast<char>(descriptor[2 + 2 * i]);
    }
    return text;
}

std::string versionFromReply(std::span<const std::uint8_t, 64> reply) {
    const auto first = reply.begin() + 4;
    const auto end = std::find(first, reply.end(), std::uint8_t{0});
    return std::string(first, end);
}

}  // namespace tavik
