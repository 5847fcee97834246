// Fuzz target: whole update runs of the engine, assembled as every entry point assembles it
// (UpdaterProgram), against a unit whose answers to the run's requests come from the fuzzer.
// Workers run synchronously on the calling thread and completions wait in a queue that the target
// pumps like a message loop, so a run is fast and repeatable.
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
// Oracle: every request is well formed with consecutive block numbers; at most one request is in
// flight; every run ends. A run ends as success only when the unit answered the image back in
// the read-back that preceded the restart request, and, if anything was downloaded, the unit was
// sent the whole image from its first byte, chunk by chunk, ended by the empty chunk, each chunk
// accepted, and then reported dfuIDLE. (A run whose first read-back already gives the whole
// image restarts the unit without writing: it holds the image.)
#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/UpdaterProgram.hpp"
#include "device/UsbProtocol.hpp"
#include "fuzz/Invariant.hpp"
#include "fuzz/ReplyScript.hpp"
#include "support/RecordingView.hpp"

namespace tavik::fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One request of a run as the unit saw and answered it.
struct Request {
    SetupPacket setup;
    bool succeeded = false;
    Bytes data;  // host to device: the chunk sent; device to host: what the engine was handed
};

bool isUpload(const Request& r) {
    return r.setup.request == usb::dfuUpload;
}
bool isDownload(const Request& r) {
    return r.setup.request == usb::dfuDnload;
}

// The unit identifies itself as a full-branch unit (fixed answers), then answers the run's
// requests from the script.
class ScriptedUnit final : public UsbTransport {
  public:
    ScriptedUnit(ReplyScript& script, const Bytes& image, Bytes held)
        : script_(script), image_(image), held_(std::move(held)) {}

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
        if (!scripted) {
            // The version read of identification: a header naming a version no image has.
            const Bytes header = {0, 0, 0, 0, '0', '.', '0', '.', '0', '+', '1'};
            transferred = std::min<std::uint32_t>(length, usb::dfuBlockSize);
            std::fill_n(buffer, transferred, 0);
            std::copy_n(header.begin(), std::min<std::size_t>(header.size(), transferred), buffer);
            return true;
        }
        const ReplyScript::Record record = script_.next();
        unplugAfterThis = (record.op & 0x80) != 0;
        Request& r = requests.emplace_back(Request{setup, false, {}});
        if (!usb::deviceToHost(setup.requestType)) {
            r.data.assign(buffer, buffer + length);
        }
        std::uint32_t reported = 0;
        r.succeeded = answer(setup, record, std::span(buffer, length), reported);
        transferred = r.succeeded ? reported : 0;
        if (r.succeeded && usb::deviceToHost(setup.requestType)) {
            r.data.assign(buffer, buffer + std::min(reported, length));
        }
        return r.succeeded;
    }

    bool scripted = false;
    bool unplugAfterThis = false;
    std::vector<Request> requests;

  private:
    bool answer(const SetupPacket& setup, const ReplyScript::Record& record,
                std::span<std::uint8_t> buffer, std::uint32_t& reported) {
        const int op = record.op & 7;
        const std::span<const std::uint8_t> data = record.data;
        const auto n = static_cast<std::uint32_t>(data.size());
        if (op == 1) {
            return false;
        }
        switch (setup.request) {
            case usb::dfuUpload: {
                const std::size_t block = setup.value + (op == 5 ? 1 : 0);
                const Bytes& source = op == 6 ? image_ : held_;
                const std::size_t from = std::min(source.size(), block * usb::dfuBlockSize);
                const std::size_t count = std::min(source.size() - from, buffer.size());
                std::copy_n(source.begin() + from, count, buffer.begin());
                reported = static_cast<std::uint32_t>(count);
                if (op == 2 && count > 0) {
                    buffer[(data.empty() ? 0 : data[0]) % count] ^=
                        data.size() > 1 ? data[1] | 1 : 1;
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
                return true;
            }
            case usb::dfuDnload: {
                Bytes chunk(buffer.begin(), buffer.end());
                reported = static_cast<std::uint32_t>(chunk.size());
                if (op == 2) {
                    chunk.resize(std::min<std::size_t>(chunk.size(), n));
                    reported = static_cast<std::uint32_t>(chunk.size());
                } else if (op == 3 && !chunk.empty()) {
                    chunk[(data.empty() ? 0 : data[0]) % chunk.size()] ^= 0x5A;
                } else if (op == 4) {
                    chunk.clear();
                } else if (op == 5) {
                    reported = n;
                }
                if (setup.value == 0) {
                    pending_.clear();
                }
                pending_.insert(pending_.end(), chunk.begin(), chunk.end());
                if (buffer.empty()) {
                    held_ = pending_;
                }
                return true;
            }
            case usb::dfuGetStatus: {
                const std::array<std::uint8_t, 6> idle = {0, 0, 0, 0, usb::dfuIdle, 0};
                const std::span<const std::uint8_t> reply = op == 2 ? data : idle;
                reported = std::min<std::uint32_t>(reply.size(), buffer.size());
                std::copy_n(reply.begin(), reported, buffer.begin());
                reported = op == 3 ? n : reported;
                return true;
            }
            default:
                return true;
        }
    }

    ReplyScript& script_;
    const Bytes& image_;
    Bytes held_;     // what the unit reads back
    Bytes pending_;  // the download so far, stored when its empty chunk arrives
};

class OneUnit final : public DeviceAccess {
  public:
    explicit OneUnit(std::shared_ptr<ScriptedUnit> unit) : unit_(std::move(unit)) {}
    OpenResult openDevice() override {
        return {.result = hrOk, .deviceNotFound = false, .device = std::move(unit_)};
    }

  private:
    std::shared_ptr<ScriptedUnit> unit_;
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

// The wire form of each request, and block numbers counting up from 0 in each phase of uploads
// or downloads.
void checkRequests(const std::vector<Request>& run) {
    for (std::size_t i = 0; i < run.size(); ++i) {
        const Request& r = run[i];
        const bool formed =
            isUpload(r) ? r.setup == usb::uploadRequest(r.setup.value)
            : isDownload(r)
                ? r.data.size() <= usb::dfuBlockSize &&
                      r.setup == usb::downloadRequest(r.setup.value,
                                                      static_cast<std::uint16_t>(r.data.size()))
            : r.setup.request == usb::dfuGetStatus ? r.setup == usb::statusRequest()
                                                   : r.setup == usb::rebootRequest();
        require(formed, "every request is well formed");
        const bool continues = i > 0 && run[i - 1].setup.request == r.setup.request;
        require(!(isUpload(r) || isDownload(r)) ||
                    r.setup.value == (continues ? run[i - 1].setup.value + 1 : 0),
                "blocks are numbered from 0 up in each phase");
    }
}

Bytes joined(std::vector<Request>::const_iterator first,
             std::vector<Request>::const_iterator last) {
    Bytes all;
    for (; first != last; ++first) {
        require(first->succeeded, "every request of a successful phase succeeded");
        all.insert(all.end(), first->data.begin(), first->data.end());
    }
    return all;
}

void checkSuccess(const std::vector<Request>& run, const Bytes& image) {
    require(!run.empty() && run.back().setup == usb::rebootRequest(),
            "a successful run ends with the restart request");
    const auto restart = run.end() - 1;
    auto readBack = restart;
    while (readBack != run.begin() && isUpload(*(readBack - 1))) {
        --readBack;
    }
    require(readBack != restart && joined(readBack, restart) == image,
            "the unit answered the image back before the restart");
    const auto download = std::find_if(run.begin(), run.end(), isDownload);
    if (download == run.end()) {
        require(readBack == run.begin(), "without a download, the first read-back gave the image");
        return;
    }
    const auto status = std::find_if_not(download, run.end(), isDownload);
    require(status != run.end() && status->setup == usb::statusRequest() && status + 1 == readBack,
            "the download is followed by one status request, then the read-back");
    require((status - 1)->data.empty() && joined(download, status) == image,
            "the unit was sent the whole image, ended by the empty chunk");
    require(status->succeeded && status->data.size() == usb::dfuStatusLength &&
                status->data[usb::dfuStatusStateByte] == usb::dfuIdle,
            "the unit reported dfuIDLE after the download");
}

// The image, in a heap block of exactly its size so that a read past its end is a finding.
std::unique_ptr<std::uint8_t[]> takeImage(ReplyScript& script, std::size_t& size) {
    const std::size_t low = script.byte();
    size = (low | script.byte() << 8) % 400;
    auto image = std::make_unique<std::uint8_t[]>(size);
    const std::span<const std::uint8_t> given = script.take(size);
    for (std::size_t i = 0; i < size; ++i) {
        image[i] = i < given.size() ? given[i] : static_cast<std::uint8_t>(i * 7 + 1);
    }
    return image;
}

Bytes initiallyHeld(ReplyScript& script, const Bytes& image) {
    const std::uint8_t choice = script.byte() % 4;
    Bytes held = choice == 1 || choice == 2 ? image : Bytes();
    if (choice == 2 && !held.empty()) {
        held[held.size() / 2] ^= 0x01;
    } else if (choice == 3) {
        const std::span<const std::uint8_t> data = script.next().data;
        held.assign(data.begin(), data.end());
    }
    return held;
}

}  // namespace
}  // namespace tavik::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tavik;
    using namespace tavik::fuzz;
    ReplyScript script(data, size);
    std::size_t imageSize = 0;
    const std::unique_ptr<std::uint8_t[]> image = takeImage(script, imageSize);
    const Bytes imageBytes(image.get(), image.get() + imageSize);
    auto unit =
        std::make_shared<ScriptedUnit>(script, imageBytes, initiallyHeld(script, imageBytes));
    const unsigned failingLaunch = script.byte();

    OneUnit devices(unit);
    auto completions = std::make_shared<Completions>();
    NoLog log;
    test::RecordingView view;
    unsigned launches = 0;
    UpdaterProgram program(view, devices, completions, log,
                           [&launches, failingLaunch](std::function<void()> work) {
                               if (++launches == failingLaunch) {
                                   return false;
                               }
                               work();
                               return true;
                           });
    program.window.onCreate(482);
    require(program.updater.deviceOpen(), "the scripted unit is identified");
    unit->scripted = true;
    program.updater.setFirmwareImage(image.get(), imageSize);

    // A second run follows a failed one on the same unit, with the same image.
    for (int run = 0; run < 2 && program.updater.deviceOpen() &&
                      (run == 0 || program.window.messageText() == "Update Failed");
         ++run) {
        const std::size_t first = unit->requests.size();
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
        const std::vector<Request> requests(unit->requests.begin() + first, unit->requests.end());
        checkRequests(requests);
        if (program.window.messageText() == "Success") {
            checkSuccess(requests, imageBytes);
        }
    }
    return 0;
}
