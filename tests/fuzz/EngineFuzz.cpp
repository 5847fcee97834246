// Fuzz target: whole update runs of the engine, assembled as every entry point assembles it
// (WindowProgram), against the simulated unit, whose answers to the run's requests the fuzzer
// bends. Workers run synchronously and completions wait in a queue pumped like a message loop.
//
// Input:
//   2 bytes  image size, little-endian, modulo 400 (up to seven blocks)
//   bytes    the image (a fixed pattern where the input ends first)
//   1 byte   what the unit holds at first, modulo 3: nothing, the image, the next record's data
//   1 byte   which launch of a worker fails (0: none)
//   records  one ReplyScript record per request, two runs at most (the action button is clicked
//            again after a run that left the unit open and the image set)
// Record ops (low three bits; bit 7: the unit is unplugged before this completion is delivered),
// each bending what the simulated unit does with the request; op 1 fails it before it arrives:
//   DFU_UPLOAD     0 as answered  2 one byte changed  3 the record's data instead  4 n bytes
//                  reported  5 the next block  6 the image's block, whatever the unit holds (a
//                  unit that lies)  7 the record's data after the answer
//   DFU_DNLOAD     2 only n bytes passed on and reported  3 passed on with one byte changed
//                  4 reported but dropped  5 n bytes reported  else passed on
//   DFU_GETSTATUS  2 the record's data instead  3 n bytes reported  else as answered
//
// Oracle: at most one request is in flight, every run ends, and its requests keep the rules of
// test::brokenRule (well formed, blocks from 0, chunks from the image; a success only after the
// image was read back, and sent whole and acknowledged in dfuIDLE if anything was written).
#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "app/WindowProgram.hpp"
#include "fuzz/Invariant.hpp"
#include "fuzz/ReplyScript.hpp"
#include "sim/CompletionQueue.hpp"
#include "sim/SimulatedUnit.hpp"
#include "support/RecordingView.hpp"
#include "support/RunOracle.hpp"

using namespace tavik;
using namespace tavik::fuzz;

namespace {

using Bytes = std::vector<std::uint8_t>;

// A full-branch unit that identifies itself faithfully; then the script bends its answers. Its
// only open hands it out once; later opens find no unit.
class BentUnit final : public UsbTransport, public DeviceAccess {
  public:
    BentUnit(ReplyScript& script, const Bytes& image) : script_(script), image_(image) {}

    OpenResult openDevice() override {
        return {.result = {}, .deviceNotFound = false, .device = std::move(self)};
    }
    UnitList listUnits() override { return {.result = {}, .keys = {"bent"}}; }
    OpenResult openUnit(const std::string&) override { return openDevice(); }

    DeviceResult getDescriptor(std::uint8_t type, std::uint8_t index, std::uint16_t languageId,
                               std::uint8_t* buffer, std::uint32_t length,
                               std::uint32_t& transferred) override {
        return wire_->getDescriptor(type, index, languageId, buffer, length, transferred);
    }

    DeviceResult controlTransfer(const SetupPacket& setup, std::uint8_t* buffer,
                                 std::uint32_t length, std::uint32_t& transferred) override {
        if (run == nullptr) {  // the version read of identification
            return wire_->controlTransfer(setup, buffer, length, transferred);
        }
        const ReplyScript::Record record = script_.next();
        unplugAfterThis = (record.op & 0x80) != 0;
        const std::span<std::uint8_t> out(buffer, length);
        test::RunRequest& r = run->emplace_back(test::RunRequest{setup, length, false, {}});
        if (!usb::deviceToHost(setup.requestType)) {
            r.data.assign(out.begin(), out.end());
        }
        std::uint32_t reported = 0;
        r.succeeded = (record.op & 7) != 1 && answer(setup, record, out, reported);
        transferred = r.succeeded ? reported : 0;
        if (r.succeeded && usb::deviceToHost(setup.requestType)) {
            r.data.assign(out.begin(), out.begin() + std::min(reported, length));
        }
        return {.status = r.succeeded ? DeviceStatus::done : DeviceStatus::other, .code = hrOk};
    }

    const std::shared_ptr<sim::SimulatedUnit> unit =
        sim::SimulatedUnit::create({.productId = 0x000D});
    std::shared_ptr<BentUnit> self;
    std::vector<test::RunRequest>* run = {};  // where the run's requests go; none while identified
    bool unplugAfterThis = false;

  private:
    bool answer(SetupPacket setup, const ReplyScript::Record& record,
                std::span<std::uint8_t> buffer, std::uint32_t& reported) {
        const int op = record.op & 7;
        const std::span<const std::uint8_t> data = record.data;
        const auto n = static_cast<std::uint32_t>(data.size());
        const std::uint8_t at = data.empty() ? 0 : data[0];
        const bool upload = setup.request == usb::dfuUpload;
        if (setup.request == usb::dfuDnload) {
            Bytes chunk(buffer.begin(), buffer.end());
            chunk.resize(op == 2 ? std::min<std::size_t>(chunk.size(), n) : chunk.size());
            if (op == 3 && !chunk.empty()) {
                chunk[at % chunk.size()] ^= 0x5A;
            }
            setup.length = static_cast<std::uint16_t>(chunk.size());
            if (op != 4 &&
                !wire_->controlTransfer(setup, chunk.data(), setup.length, reported).ok()) {
                return false;
            }
            reported = op == 5 ? n : op == 4 ? static_cast<std::uint32_t>(buffer.size()) : reported;
            return true;
        }
        if (upload && op == 6) {
            const std::size_t from = std::min(image_.size(), setup.value * usb::dfuBlockSize);
            reported = static_cast<std::uint32_t>(std::min(image_.size() - from, buffer.size()));
            std::copy_n(image_.begin() + from, reported, buffer.begin());
            return true;
        }
        setup.value += upload && op == 5;
        if (!wire_
                 ->controlTransfer(setup, buffer.data(), static_cast<std::uint32_t>(buffer.size()),
                                   reported)
                 .ok()) {
            return false;
        }
        const bool status = setup.request == usb::dfuGetStatus;
        if (upload && op == 2 && reported > 0) {
            buffer[at % reported] ^= data.size() > 1 ? data[1] | 1 : 1;
        } else if ((upload && op == 3) || (status && op == 2)) {
            reported = std::min<std::uint32_t>(n, buffer.size());
            std::copy_n(data.begin(), reported, buffer.begin());
        } else if ((upload && op == 4) || (status && op == 3)) {
            reported = n;
        } else if (upload && op == 7) {
            const std::size_t extra = std::min<std::size_t>(n, buffer.size() - reported);
            std::copy_n(data.begin(), extra, buffer.begin() + reported);
            reported += static_cast<std::uint32_t>(extra);
        }
        return true;
    }

    ReplyScript& script_;
    const Bytes& image_;
    const std::shared_ptr<UsbTransport> wire_ = unit->open();
};

struct NoLog final : Log {
    void write(std::string_view) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ReplyScript script(data, size);
    const std::size_t low = script.byte();
    // A vector's block is exactly the image's size, so that a read past its end is a finding.
    Bytes image((low | script.byte() << 8) % 400);
    const std::span<const std::uint8_t> given = script.take(image.size());
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = i < given.size() ? given[i] : static_cast<std::uint8_t>(i * 7 + 1);
    }
    const std::uint8_t holds = script.byte() % 3;
    const std::span<const std::uint8_t> stored = holds == 2 ? script.next().data : image;
    const Bytes held(stored.begin(), holds == 0 ? stored.begin() : stored.end());
    const unsigned failingLaunch = script.byte();

    auto unit = std::make_shared<BentUnit>(script, image);
    unit->self = unit;
    auto completions = std::make_shared<sim::CompletionQueue>();
    NoLog log;
    test::RecordingView view;
    unsigned launches = 0;
    WindowProgram program(view, *unit, completions, log, [&](std::function<void()> work) {
        if (++launches == failingLaunch) {
            return false;
        }
        work();
        return true;
    });
    // Blank while identified, so the version read finds no version; what it holds from then on.
    program.window.onCreate(482);
    require(program.updater.deviceOpen(), "the unit is identified");
    unit->unit->setImage(held);
    program.updater.setFirmwareImage(image.data(), image.size());

    // A second run follows a failed one on the same unit, with the same image.
    for (int run = 0; run < 2 && program.updater.deviceOpen() &&
                      (run == 0 || program.window.messageText() == "Update Failed");
         ++run) {
        std::vector<test::RunRequest> requests;
        unit->run = &requests;
        program.window.onActionClicked();
        while (const auto completion = completions->tryNext()) {
            require(completions->waiting() == 0, "at most one request is in flight");
            if (std::exchange(unit->unplugAfterThis, false)) {
                program.window.onDeviceRemoval();
            }
            program.window.onTransferCompleted(completion->success, completion->bytesTransferred);
        }
        require(program.updater.state() == UpdateState::Idle,
                "every run ends: no run waits for a completion that never comes");
        const std::string broken =
            test::brokenRule(requests, image, program.window.messageText() == "Success");
        require(broken.empty(), broken.c_str());
        unit->run = nullptr;
    }
    return 0;
}
