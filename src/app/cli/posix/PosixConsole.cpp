#include "app/cli/posix/PosixConsole.hpp"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace tavik::cli {

namespace {

// The one piece of state a signal handler may touch: a lock-free counter.
std::atomic<int> presses{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void countPress(int) {
    presses.fetch_add(1, std::memory_order_relaxed);
}

// How often a read of the confirmation looks at the presses: SIGINT may be delivered to any
// thread (libusb has threads of its own), so a blocked read is not relied on to be interrupted.
constexpr int readSliceMs = 50;

}  // namespace

PosixConsole::PosixConsole() {
    struct sigaction action {};
    action.sa_handler = countPress;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInterrupt_);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previousPipe_);
}

PosixConsole::~PosixConsole() {
    sigaction(SIGPIPE, &previousPipe_, nullptr);
    sigaction(SIGINT, &previousInterrupt_, nullptr);
}

bool PosixConsole::outputIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

bool PosixConsole::inputIsTerminal() {
    return isatty(STDIN_FILENO) == 1;
}

std::optional<std::string> PosixConsole::readLine() {
    const int pressesBefore = interruptPresses();
    std::string line;
    for (;;) {
        if (interruptPresses() != pressesBefore) {
            return std::nullopt;
        }
        pollfd input{STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&input, 1, readSliceMs);
        if (ready < 0 && errno != EINTR) {
            return std::nullopt;
        }
        if (ready <= 0) {
            continue;
        }
        char c = 0;
        const ssize_t got = read(STDIN_FILENO, &c, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return std::nullopt;
        }
        if (c == '\n') {
            return line;
        }
        line += c;
    }
}

int PosixConsole::interruptPresses() {
    return presses.load(std::memory_order_relaxed);
}

}  // namespace tavik::cli
