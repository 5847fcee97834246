#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "device/UsbProtocol.hpp"

namespace tavik::test {

// One request of an update run as the unit saw it.
struct RunRequest {
    SetupPacket setup;
    std::uint32_t hostLength = 0;  // the length the host passed with its buffer
    bool succeeded = false;
    std::vector<std::uint8_t> data;  // the chunk sent, or the bytes the engine was handed
};

// The first rule that a run's requests break, or "" when they keep them all. Every run, however
// the unit answered: every request is well formed, blocks are numbered from 0 up in each phase,
// every chunk is the image's bytes at its block's offset. A run that `succeeded` ended with the
// restart request right after a read-back that gave the image; if it downloaded anything, it
// sent the whole image, ended by the empty chunk, every chunk accepted, then asked for the status
// once and was told dfuIDLE in six bytes, then read back.
inline std::string brokenRule(const std::vector<RunRequest>& run,
                              std::span<const std::uint8_t> image, bool succeeded) {
    using namespace usb;
    using It = std::vector<RunRequest>::const_iterator;
    const auto isUpload = [](const RunRequest& r) { return r.setup.request == dfuUpload; };
    const auto isDownload = [](const RunRequest& r) { return r.setup.request == dfuDnload; };
    for (It r = run.begin(); r != run.end(); ++r) {
        const auto length = static_cast<std::uint16_t>(r->data.size());
        const bool formed =
            isUpload(*r) ? r->setup == uploadRequest(r->setup.value)
            : isDownload(*r)
                ? length <= dfuBlockSize && r->setup == downloadRequest(r->setup.value, length)
                : r->setup == statusRequest() || r->setup == rebootRequest();
        if (!formed || r->hostLength != r->setup.length) {
            return "every request is well formed";
        }
        const bool continues = r != run.begin() && (r - 1)->setup.request == r->setup.request;
        if ((isUpload(*r) || isDownload(*r)) &&
            r->setup.value != (continues ? (r - 1)->setup.value + 1 : 0)) {
            return "blocks are numbered from 0 up in each phase";
        }
        const std::size_t offset = r->setup.value * dfuBlockSize;
        if (isDownload(*r) && length > 0 &&
            (offset + length > image.size() ||
             !std::equal(r->data.begin(), r->data.end(), image.begin() + offset))) {
            return "every chunk is the image's bytes at its offset";
        }
    }
    // Whether the requests of [first, last) all succeeded and their bytes make the image.
    const auto giveImage = [&](It first, It last) {
        std::vector<std::uint8_t> all;
        for (; first != last; ++first) {
            if (!first->succeeded) {
                return false;
            }
            all.insert(all.end(), first->data.begin(), first->data.end());
        }
        return std::equal(all.begin(), all.end(), image.begin(), image.end());
    };
    if (!succeeded) {
        return "";
    }
    if (run.empty() || !(run.back().setup == rebootRequest())) {
        return "a successful run ends with the restart request";
    }
    It readBack = run.end() - 1;
    while (readBack != run.begin() && isUpload(*(readBack - 1))) {
        --readBack;
    }
    if (readBack == run.end() - 1 || !giveImage(readBack, run.end() - 1)) {
        return "the unit answered the image back before the restart";
    }
    const It download = std::find_if(run.begin(), run.end(), isDownload);
    if (download == run.end()) {
        return readBack == run.begin() ? ""
                                       : "without a download, the first read-back gave the image";
    }
    const It status = std::find_if_not(download, run.end(), isDownload);
    if (status + 1 != readBack || !(status->setup == statusRequest()) ||
        !(status - 1)->data.empty() || !giveImage(download, status)) {
        return "the whole image was sent, ended by the empty chunk, then one status request";
    }
    if (!status->succeeded || status->data.size() != dfuStatusLength ||
        status->data[dfuStatusStateByte] != dfuIdle) {
        return "the unit reported dfuIDLE after the download";
    }
    return "";
}

}  // namespace tavik::test
