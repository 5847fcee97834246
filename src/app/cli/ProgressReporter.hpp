#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace tavik::cli {

// Progress of a run, on standard output. On a terminal one line redrawn in place (phase, blocks
// done of all, percent, rate, time left); elsewhere one plain line per phase when it ends, with
// no escape codes; for --json one JSON line per whole percent; or nothing at all.
class ProgressReporter {
  public:
    using Clock = std::chrono::steady_clock;
    enum class Mode { none, terminal, lines, json };

    // A terminal is redrawn at most this often, and once more when the phase ends.
    static constexpr std::chrono::milliseconds redrawInterval{100};

    ProgressReporter(std::ostream& out, Mode mode) : out_(out), mode_(mode) {}

    // `done` blocks of `total` of `phase` ("comparing", "writing", "verifying") are through. A
    // new phase ends the line of the previous one.
    void update(std::string_view phase, std::uint64_t done, std::uint64_t total,
                Clock::time_point now);
    // Ends the current phase's line, if any; the report follows on a line of its own.
    void finish(Clock::time_point now);

  private:
    struct Phase {
        std::string name;
        std::uint64_t done = 0;
        std::uint64_t total = 0;
        Clock::time_point start;
        std::optional<Clock::time_point> drawnAt;
        int percentShown = -1;
    };

    void draw(Clock::time_point now);
    void endPhase(Clock::time_point now);
    std::string describe(Clock::time_point now) const;

    std::ostream& out_;
    const Mode mode_;
    std::optional<Phase> phase_;
};

}  // namespace tavik::cli
