#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Log.hpp"
#include "sim/SimulatedUnit.hpp"

namespace tavik::test {

// Records the engine's log lines, and for each how many requests the unit had seen when it was
// written, so that lines and requests can be read as one transcript.
class RecordingLog final : public Log {
  public:
    struct Entry {
        std::string line;
        std::size_t requestsBefore = 0;
    };

    void follow(std::shared_ptr<sim::SimulatedUnit> unit) { unit_ = std::move(unit); }

    void write(std::string_view line) override {
        entries_.push_back({std::string(line), unit_ ? unit_->requestCount() : 0});
    }

    const std::vector<Entry>& entries() const { return entries_; }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (const Entry& e : entries_) {
            out.push_back(e.line);
        }
        return out;
    }
    void clear() { entries_.clear(); }

  private:
    std::shared_ptr<sim::SimulatedUnit> unit_;
    std::vector<Entry> entries_;
};

// One request, short: "DFU_UPLOAD 2 -> 64" (block, bytes returned), "DFU_DNLOAD 3 [0]" (block,
// bytes sent), "DFU_GETSTATUS -> 6", "REBOOT_TO_APP", with " failed" when the transfer failed.
inline std::string describe(const sim::WireRequest& r) {
    const unsigned value = r.setup[2] | r.setup[3] << 8;
    std::string text = sim::toString(r.kind);
    switch (r.kind) {
        case sim::RequestKind::upload:
            text += ' ' + std::to_string(value);
            break;
        case sim::RequestKind::download:
            text += ' ' + std::to_string(value) + " [" + std::to_string(r.data.size()) + ']';
            break;
        case sim::RequestKind::stringDescriptor:
            text += ' ' + std::to_string(value & 0xFF);
            break;
        default:
            break;
    }
    if (!r.succeeded) {
        text += " failed";
    } else if (r.setup[0] & 0x80) {
        text += " -> " + std::to_string(r.data.size());
    }
    return text;
}

// Requests from index `from` on, with the log lines written meanwhile, in order. Log lines appear
// as they were written, newline included.
inline std::vector<std::string> transcript(const std::vector<sim::WireRequest>& requests,
                                           const RecordingLog& log, std::size_t from = 0) {
    std::vector<std::string> out;
    std::size_t next = 0;
    const auto& entries = log.entries();
    for (std::size_t i = from; i <= requests.size(); ++i) {
        while (next < entries.size() && entries[next].requestsBefore <= i) {
            if (entries[next].requestsBefore >= from) {
                out.push_back(entries[next].line);
            }
            ++next;
        }
        if (i < requests.size()) {
            out.push_back(describe(requests[i]));
        }
    }
    return out;
}

}  // namespace tavik::test
