#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tavik::fuzz {

// The fuzzer's bytes read as what a unit answers, one record per transfer: op (one byte, whose
// bits each target gives a meaning), n (one byte), then n bytes of data (fewer where the input
// ends). Past the input's end every record is op 0 with no data, so every run ends.
class ReplyScript {
  public:
    struct Record {
        std::uint8_t op = 0;
        std::span<const std::uint8_t> data;
    };

    ReplyScript(const std::uint8_t* data, std::size_t size) : rest_(data, size) {}

    std::uint8_t byte() {
        const std::span<const std::uint8_t> one = take(1);
        return one.empty() ? 0 : one[0];
    }

    std::span<const std::uint8_t> take(std::size_t count) {
        const std::span<const std::uint8_t> taken = rest_.first(std::min(count, rest_.size()));
        rest_ = rest_.subspan(taken.size());
        return taken;
    }

    Record next() {
        const std::uint8_t op = byte();
        return {op, take(byte())};
    }

  private:
    std::span<const std::uint8_t> rest_;
};

}  // namespace tavik::fuzz
