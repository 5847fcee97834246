#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "sim/SimulatedUnit.hpp"

namespace tavik::sim {

// The wire log of a simulated bus, the same on every platform so that the end-to-end runs read
// one format. One line per event, in the order the events happen:
//
//   INDEX KIND SETUP ok|fail|gone COUNT DATA   a request (see wireLogLine)
//   left restarted | left unplugged            the unit left the bus
//   # arrival announced | # removal announced  the host was told of an arrival or a removal
//
// Thread-safe: the unit's observer and the bus's own threads write to it. Each line is flushed
// at once, so a run that ends abruptly still leaves every line written before.
class WireLog {
  public:
    WireLog() = default;
    WireLog(const WireLog&) = delete;
    WireLog& operator=(const WireLog&) = delete;
    ~WireLog();

    // Takes `file` (null: write nothing), closing the one written before.
    void open(std::FILE* file);

    void request(const WireRequest& request);
    void departure(Departure why);
    void announcement(bool arrival);

  private:
    void write(const std::string& line);  // with mutex_ held

    std::mutex mutex_;
    std::FILE* file_ = nullptr;
    std::uint64_t index_ = 0;  // requests logged so far
};

// One request: its index from 0, its kind (the scenario's names: device-descriptor,
// string-descriptor, upload, download, status, reboot, other), the 8 setup bytes, ok, fail, or
// gone when the unit was no longer there, the data stage's byte count and its bytes (sent, or
// returned), all bytes in lower-case hexadecimal; ends with a newline.
std::string wireLogLine(std::uint64_t index, const WireRequest& request);

}  // namespace tavik::sim
