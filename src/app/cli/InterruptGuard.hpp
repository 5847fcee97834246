#pragma once

#include <chrono>
#include <optional>

namespace tavik::cli {

// The Ctrl-C rule. Outside a write a press ends the program at once. While the unit is being
// written, stopping leaves it in update mode with an incomplete image, so the first press only
// warns and the run goes on; a second press within `confirmWindow` of the warning ends the
// program. A press after the window has passed warns again.
class InterruptGuard {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds confirmWindow{3};

    enum class Action { endNow, warn };

    Action press(bool writing, Clock::time_point now);

  private:
    std::optional<Clock::time_point> warnedAt_;
};

}  // namespace tavik::cli
