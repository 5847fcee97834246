#include "app/cli/ProgressReporter.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

#include "device/UsbProtocol.hpp"

namespace tavik::cli {

namespace {

int percentOf(std::uint64_t done, std::uint64_t total) {
    return total == 0 ? 100 : static_cast<int>(done * 100 / total);
}

double secondsBetween(ProgressReporter::Clock::time_point from,
                      ProgressReporter::Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

}  // namespace

void ProgressReporter::update(std::string_view phase, std::uint64_t done, std::uint64_t total,
                              Clock::time_point now) {
    if (mode_ == Mode::none) {
        return;
    }
    if (!phase_ || phase_->name != phase) {
        endPhase(now);
        phase_ = Phase{std::string(phase), 0, total, now, std::nullopt, -1};
    }
    phase_->done = std::min(done, total);
    phase_->total = total;
    draw(now);
}

void ProgressReporter::finish(Clock::time_point now) {
    endPhase(now);
}

void ProgressReporter::draw(Clock::time_point now) {
    Phase& phase = *phase_;
    const int percent = percentOf(phase.done, phase.total);
    switch (mode_) {
        case Mode::terminal:
            if (!phase.drawnAt || now - *phase.drawnAt >= redrawInterval ||
                phase.done == phase.total) {
                out_ << '\r' << describe(now) << "\x1b[K" << std::flush;
                phase.drawnAt = now;
            }
            break;
        case Mode::json:
            if (percent != phase.percentShown) {
                const nlohmann::json line = {{"event", "progress"},
                                             {"phase", phase.name},
                                             {"done", phase.done},
                                             {"total", phase.total},
                                             {"percent", percent}};
                out_ << line.dump() << '\n' << std::flush;
                phase.percentShown = percent;
            }
            break;
        case Mode::lines:
        case Mode::none:
            break;
    }
}

void ProgressReporter::endPhase(Clock::time_point now) {
    if (!phase_) {
        return;
    }
    if (mode_ == Mode::terminal) {
        out_ << '\r' << describe(now) << "\x1b[K\n" << std::flush;
    } else if (mode_ == Mode::lines) {
        char line[160];
        const double seconds = secondsBetween(phase_->start, now);
        std::snprintf(line, sizeof line, "%s: %llu of %llu blocks (%d%%) in %.1f s\n",
                      phase_->name.c_str(), static_cast<unsigned long long>(phase_->done),
                      static_cast<unsigned long long>(phase_->total),
                      percentOf(phase_->done, phase_->total), seconds);
        out_ << line << std::flush;
    }
    phase_.reset();
}

// "writing  1234 of 5523 blocks  22%  61.2 KiB/s  0:07 left"; rate and time left only once
// some time has passed, since the first block alone says nothing about the rate.
std::string ProgressReporter::describe(Clock::time_point now) const {
    const Phase& phase = *phase_;
    char line[160];
    int length = std::snprintf(line, sizeof line, "%-9s %llu of %llu blocks %3d%%",
                               phase.name.c_str(), static_cast<unsigned long long>(phase.done),
                               static_cast<unsigned long long>(phase.total),
                               percentOf(phase.done, phase.total));
    const double seconds = secondsBetween(phase.start, now);
    if (seconds > 0 && phase.done > 0 && length > 0) {
        const double blocksPerSecond = static_cast<double>(phase.done) / seconds;
        const auto left = static_cast<unsigned long long>(
            static_cast<double>(phase.total - phase.done) / blocksPerSecond + 0.5);
        std::snprintf(line + length, sizeof line - static_cast<std::size_t>(length),
                      "  %.1f KiB/s  %llu:%02llu left",
                      blocksPerSecond * usb::dfuBlockSize / 1024.0, left / 60, left % 60);
    }
    return line;
}

}  // namespace tavik::cli
