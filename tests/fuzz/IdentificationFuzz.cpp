// Fuzz target: identification of a unit whose every answer comes from the fuzzer's bytes.
//
// Input: one byte, the string index of a last getStringDescriptor call; then one ReplyScript
// record per transfer (the device descriptor, the string descriptors, the version read):
//   op bit 0  the transfer fails: nothing written, 0 bytes reported
//   op bit 1  the unit reports n bytes transferred however many it wrote (a lying adapter)
//   data      the reply; at most the asked length of it is written into the caller's buffer,
//             so a buffer shorter than the length asked for is an AddressSanitizer finding
// Oracle: the result and the texts follow identifyDevice's and getStringDescriptor's contracts
// for the bytes the unit wrote and the counts it reported.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "device/Identification.hpp"
#include "device/UsbProtocol.hpp"
#include "fuzz/Invariant.hpp"
#include "fuzz/ReplyScript.hpp"

using namespace tavik;
using namespace tavik::fuzz;

namespace {

// One transfer as the unit answered it.
struct Transfer {
    SetupPacket setup;
    bool succeeded = false;
    std::vector<std::uint8_t> written;
    std::uint32_t reported = 0;

    // The reply as the caller's zero-filled buffer holds it after the transfer.
    std::uint8_t at(std::size_t i) const { return i < written.size() ? written[i] : 0; }
};

class ScriptedUnit final : public UsbTransport {
  public:
    explicit ScriptedUnit(ReplyScript& script) : script_(script) {}

    DeviceResult getDescriptor(std::uint8_t type, std::uint8_t index, std::uint16_t languageId,
                               std::uint8_t* buffer, std::uint32_t length,
                               std::uint32_t& transferred) override {
        return controlTransfer(
            usb::descriptorRequest(type, index, languageId, static_cast<std::uint16_t>(length)),
            buffer, length, transferred);
    }

    DeviceResult controlTransfer(const SetupPacket& setup, std::uint8_t* buffer,
                                 std::uint32_t length, std::uint32_t& transferred) override {
        const ReplyScript::Record record = script_.next();
        Transfer& t = transfers.emplace_back(Transfer{setup, (record.op & 1) == 0, {}, 0});
        if (t.succeeded) {
            const std::size_t count = std::min<std::size_t>(record.data.size(), length);
            std::copy_n(record.data.begin(), count, buffer);
            t.written.assign(record.data.begin(), record.data.begin() + count);
            t.reported = (record.op & 2) != 0 ? record.data.size() : count;
        }
        transferred = t.reported;
        return {.status = t.succeeded ? DeviceStatus::done : DeviceStatus::other, .code = hrOk};
    }

    std::vector<Transfer> transfers;

  private:
    ReplyScript& script_;
};

// The text that the string descriptor read starting at transfers[at] must give, with `at` moved
// past it: language 0x0409, a first read of bLength alone, then (bLength non-zero) one read of
// bLength bytes, whose UTF-16 code units' low bytes make bLength / 2 - 1 characters, bytes not
// delivered counting as 0.
std::string expectedString(const std::vector<Transfer>& transfers, std::size_t& at,
                           std::uint8_t index) {
    const auto read = [&](std::uint16_t length) {
        require(at < transfers.size() &&
                    transfers[at].setup == usb::descriptorRequest(usb::stringDescriptorType, index,
                                                                  usb::languageEnglishUs, length),
                "a string descriptor is read for bLength alone, then for bLength bytes");
        return transfers[at++];
    };
    const std::uint8_t bLength = read(1).at(0);
    if (bLength == 0) {
        return {};
    }
    const Transfer& whole = read(bLength);
    std::string text;
    for (std::size_t i = 0; i + 1 < bLength / 2u; ++i) {
        text += static_cast<char>(whole.at(2 + 2 * i));
    }
    return text;
}

void checkIdentification(const std::vector<Transfer>& transfers, Identification result,
                         const DeviceIdentity& identity) {
    require(!transfers.empty() &&
                transfers[0].setup == usb::descriptorRequest(usb::deviceDescriptorType, 0, 0,
                                                             usb::deviceDescriptorLength),
            "identification starts with the whole device descriptor");
    const Transfer& device = transfers[0];
    const bool untouched =
        identity.product == "p?" && identity.serial == "s?" && identity.version == "v?";
    if (!device.succeeded || device.reported != usb::deviceDescriptorLength) {
        require(result == Identification::descriptorError && transfers.size() == 1 && untouched,
                "a device descriptor not read whole is a descriptor error, and nothing more");
        return;
    }
    const std::uint16_t vendor = device.at(8) | device.at(9) << 8;
    const std::uint16_t productId = device.at(10) | device.at(11) << 8;
    const bool shortBranch = productId == unitShortBranchProductId;
    if (!isUnitId(vendor, productId)) {
        require(result == Identification::notRecognised && transfers.size() == 1 && untouched,
                "another unit is not recognised, with the identity untouched");
        return;
    }
    require(result == Identification::recognised, "a supported unit is recognised");
    std::size_t next = 1;
    const std::string product = expectedString(transfers, next, device.at(15));
    require(identity.product == (shortBranch ? product.substr(0, 2) : product),
            "the product text is the string descriptor (two characters for the short branch)");
    require(identity.serial == expectedString(transfers, next, device.at(16)),
            "the serial text is the string descriptor");
    if (shortBranch) {
        require(next == transfers.size() && identity.version == shortBranchVersion,
                "the short-branch unit is asked for no version and shows XMOS");
        return;
    }
    require(next + 1 == transfers.size() && transfers[next].setup == usb::uploadRequest(0),
            "the version is read with one DFU_UPLOAD of block 0");
    const Transfer& upload = transfers[next];
    std::string expected;
    for (std::size_t i = 4; upload.succeeded && upload.reported == usb::dfuBlockSize &&
                            i < usb::dfuBlockSize && upload.at(i) != 0;
         ++i) {
        expected += static_cast<char>(upload.at(i));
    }
    require(identity.version == expected,
            "the version is bytes 4..63 up to a NUL of a 64-byte reply, else empty");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ReplyScript script(data, size);
    const std::uint8_t lastIndex = script.byte();

    ScriptedUnit unit(script);
    DeviceIdentity identity{"p?", "s?", "v?"};
    const Identification result = identifyDevice(
        unit, unitVendorId, unitProductId, unitShortBranchProductId, unitProductIdLater, identity);
    checkIdentification(unit.transfers, result, identity);

    std::size_t next = unit.transfers.size();
    const std::string text = getStringDescriptor(unit, lastIndex);
    require(
        text == expectedString(unit.transfers, next, lastIndex) && next == unit.transfers.size(),
        "getStringDescriptor gives the descriptor's text in one or two reads");
    return 0;
}
