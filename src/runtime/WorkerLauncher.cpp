#include "runtime/WorkerLauncher.hpp"

#include <system_error>
#include <thread>
#include <utility>

namespace tavik {

bool launchDetachedThread(std::function<void()> work) {
    try {
        std::thread(std::move(work)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

}  // namespace tavik
