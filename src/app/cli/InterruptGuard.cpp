#include "app/cli/InterruptGuard.hpp"

namespace tavik::cli {

InterruptGuard::Action InterruptGuard::press(bool writing, Clock::time_point now) {
    if (!writing || (warnedAt_ && now - *warnedAt_ <= confirmWindow)) {
        return Action::endNow;
    }
    warnedAt_ = now;
    return Action::warn;
}

}  // namespace tavik::cli
