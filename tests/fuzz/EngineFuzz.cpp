// Fuzz target: whole update runs of the engine, assembled as every entry point assembles it
// (UpdaterProgram), against a unit whose answers to the run's requests come from the fuzzer.
// Workers run synchronously and completions wait in a queue pumped like a message loop.
//
// Input:
//   2 bytes  image size, little-endian, modulo 400 (up to seven blocks)
//   bytes    the image (a fixed pattern where the input ends first)
//   1 byte   what the unit holds at first: 0 nothing, 1 the image, 2 the image with one byte
//            changed, 3 the data of the next record
//   1 byte   which launch of a worker fails (0: none)
//   records  one ReplyScript record per request, two runs at most (the action button is clicked
//            again after a run that left the unit open and the image set)
// Record ops (low three bits; bit 7: the unit is unplugged before this completion is delivered):
//   DFU_UPLOAD     0 faithful  1 fails  2 one byte changed  3 the record's data  4 faithful but
//                  reports n bytes  5 the next block  6 the image's block, whatever the unit
//                  holds (a unit that lies)  7 faithful with the record's data after it
//   DFU_DNLOAD     0 stored  1 fails  2 only n bytes stored and reported  3 stored with one
//                  byte changed  4 reported but dropped  5 stored, n bytes reported  6, 7 stored
//   DFU_GETSTATUS  0 dfuIDLE  1 fails  2 the record's data  3 dfuIDLE, n bytes reported  else idle
//   restart        1 fails, else accepted
// A faithful unit stores a download once its empty chunk arrives and reads back what it stores.
//
// Oracle: at most one request is in flight, every run ends, and its requests keep the rules of
// test::brokenRule (well formed, blocks from 0, chunks from the image; a success only after the
// image was read back, and sent whole and acknowledged in dfuIDLE if anything was written).
#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include "app/UpdaterProgram.hpp"
#include "fuzz/Invariant.hpp"
#include "fuzz/ReplyScript.hpp"
#include "support/RecordingView.hpp"
#include "support/RunOracle.hpp"

namespace tavik::fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Identifies itself as a full-branch unit (fixed answers), then answers the run's requests from
// the script. Its only open hands it out once; later opens find no unit.
class ScriptedUnit final : public UsbTransport, public DeviceAccess {
  public:
    ScriptedUnit(ReplyScript& script, const Bytes& image) : script_(script), image_(image) {}

    OpenResult openDevice() override {
        return {.result = hrOk, .deviceNotFound = false, .device = std::move(self)};
    }

    bool getDescriptor(std::uint8_t type, std::uint8_t, std::uint16_t, std::uint8_t* buffer,
                       std::uint32_t length, std::uint32_t& transferred) override {
        static constexpr std::array<std::uint8_t, 18> device = {
            18, 1, 0x00, 0x02, 0, 0, 0, 64, 0xFD, 0x07, 0x0D, 0x00, 0x00, 0x01, 0, 1, 2, 1};
        // Product and serial alike: "T1X01".
        static constexpr std::array<std::uint8_t, 12> text = {12,  3, 'T', 0, '1', 0,
                                                              'X', 0, '0', 0, '1', 0};
        const std::span<const std::uint8_t> answer =
            type == usb::deviceDescriptorType ? std::span<const std::uint8_t>(device) : text;
        transferred = std::min<std::uint32_t>(answer.size(), length);
        std::copy_n(answer.begin(), transferred, buffer);
        return true;
    }

    bool controlTransfer(const SetupPacket& setup, std::uint8_t* buffer, std::uint32_t length,
                         std::uint32_t& transferred) override {
        const std::span<std::uint8_t> out(buffer, length);
        if (run == nullptr) {
            // The version read of identification: a header naming a version no image has.
            const std::array<std::uint8_t, 11> header = {0,   0,   0,   0,   '0', '.',
                                                         '0', '.', '0', '+', '1'};
            transferred = std::min<std::uint32_t>(length, usb::dfuBlockSize);
            std::fill_n(buffer, transferred, 0);
            std::copy_n(header.begin(), std::min<std::size_t>(header.size(), transferred), buffer);
            return true;
        }
        const ReplyScript::Record record = script_.next();
        unplugAfterThis = (record.op & 0x80) != 0;
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
        return r.succeeded;
    }

    std::shared_ptr<ScriptedUnit> self;
    Bytes held;                               // what the unit reads back
    std::vector<test::RunRequest>* run = {};  // where the run's requests go; none while identified
    bool unplugAfterThis = false;

  private:
    bool answer(const SetupPacket& setup, const ReplyScript::Record& record,
                std::span<std::uint8_t> buffer, std::uint32_t& reported) {
        const int op = record.op & 7;
        const std::span<const std::uint8_t> data = record.data;
        const auto n = static_cast<std::uint32_t>(data.size());
        const std::uint8_t at = data.empty() ? 0 : data[0];
        if (setup.request == usb::dfuUpload) {
            const Bytes& source = op == 6 ? image_ : held;
            const std::size_t from =
                std::min(source.size(), (setup.value + (op == 5)) * usb::dfuBlockSize);
            const std::size_t count = std::min(source.size() - from, buffer.size());
            std::copy_n(source.begin() + from, count, buffer.begin());
            reported = static_cast<std::uint32_t>(count);
            if (op == 2 && count > 0) {
                buffer[at % count] ^= data.size() > 1 ? data[1] | 1 : 1;
            } else if (op == 3) {
                reported = std::min<std::uint32_t>(n, buffer.size());
                std::copy_n(data.begin(), reported, buffer.begin());
            } else if (op == 4) {
                reported = n;
            } else if (op == 7) {
                const std::size_t extra = std::min<std::size_t>(n, buffer.size() - count);
                std::copy_n(data.begin(), extra, buffer.begin() + count);
                reported += static_cast<std::uint32_t>(extra);
            }
        } else if (setup.request == usb::dfuDnload) {
            Bytes chunk(buffer.begin(), buffer.end());
            chunk.resize(op == 2   ? std::min<std::size_t>(chunk.size(), n)
                         : op == 4 ? 0
                                   : chunk.size());
            if (op == 3 && !chunk.empty()) {
                chunk[at % chunk.size()] ^= 0x5A;
            }
            reported = op == 5   ? n
                       : op == 4 ? static_cast<std::uint32_t>(buffer.size())
                                 : static_cast<std::uint32_t>(chunk.size());
            if (setup.value == 0) {
                pending_.clear();
            }
            pending_.insert(pending_.end(), chunk.begin(), chunk.end());
            if (buffer.empty()) {
                held = pending_;
            }
        } else if (setup.request == usb::dfuGetStatus) {
            const std::array<std::uint8_t, 6> idle = {0, 0, 0, 0, usb::dfuIdle, 0};
            const std::span<const std::uint8_t> reply = op == 2 ? data : idle;
            reported = std::min<std::uint32_t>(reply.size(), buffer.size());
            std::copy_n(reply.begin(), reported, buffer.begin());
            reported = op == 3 ? n : reported;
        }
        return true;
    }

    ReplyScript& script_;
    const Bytes& image_;
    Bytes pending_;  // the download so far, stored when its empty chunk arrives
};

struct Completions final : CompletionPoster {
    void post(bool success, std::uint64_t bytesTransferred) override {
        queue.push_back({success, bytesTransferred});
    }
    std::deque<std::pair<bool, std::uint64_t>> queue;
};

struct NoLog final : Log {
    void write(std::string_view) override {}
};

}  // namespace
}  // namespace tavik::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tavik;
    using namespace tavik::fuzz;
    ReplyScript script(data, size);
    const std::size_t low = script.byte();
    const std::size_t imageSize = (low | script.byte() << 8) % 400;
    // A heap block of exactly the image's size, so that a read past its end is a finding.
    const auto image = std::make_unique<std::uint8_t[]>(imageSize);
    const std::span<const std::uint8_t> given = script.take(imageSize);
    for (std::size_t i = 0; i < imageSize; ++i) {
        image[i] = i < given.size() ? given[i] : static_cast<std::uint8_t>(i * 7 + 1);
    }
    const Bytes imageBytes(image.get(), image.get() + imageSize);
    auto unit = std::make_shared<ScriptedUnit>(script, imageBytes);
    unit->self = unit;
    const std::uint8_t held = script.byte() % 4;
    if (held == 1 || held == 2) {
        unit->held = imageBytes;
        if (held == 2 && imageSize > 0) {
            unit->held[imageSize / 2] ^= 0x01;
        }
    } else if (held == 3) {
        const std::span<const std::uint8_t> stored = script.next().data;
        unit->held.assign(stored.begin(), stored.end());
    }
    const unsigned failingLaunch = script.byte();

    auto completions = std::make_shared<Completions>();
    NoLog log;
    test::RecordingView view;
    unsigned launches = 0;
    UpdaterProgram program(view, *unit, completions, log, [&](std::function<void()> work) {
        if (++launches == failingLaunch) {
            return false;
        }
        work();
        return true;
    });
    program.window.onCreate(482);
    require(program.updater.deviceOpen(), "the scripted unit is identified");
    program.updater.setFirmwareImage(image.get(), imageSize);

    // A second run follows a failed one on the same unit, with the same image.
    for (int run = 0; run < 2 && program.updater.deviceOpen() &&
                      (run == 0 || program.window.messageText() == "Update Failed");
         ++run) {
        std::vector<test::RunRequest> requests;
        unit->run = &requests;
        program.window.onActionClicked();
        while (!completions->queue.empty()) {
            require(completions->queue.size() == 1, "at most one request is in flight");
            const auto [success, bytes] = completions->queue.front();
            completions->queue.pop_front();
            if (std::exchange(unit->unplugAfterThis, false)) {
                program.window.onDeviceRemoval();
            }
            program.window.onTransferCompleted(success, bytes);
        }
        require(program.updater.state() == UpdateState::Idle,
                "every run ends: no run waits for a completion that never comes");
        const std::string broken =
            test::brokenRule(requests, imageBytes, program.window.messageText() == "Success");
        require(broken.empty(), broken.c_str());
        unit->run = nullptr;
    }
    return 0;
}
