#pragma once

#include <csignal>

#include "app/cli/CliConsole.hpp"

namespace tavik::cli {

// The terminal on POSIX systems: isatty, poll and read on standard input, and a SIGINT handler
// (sigaction) that only counts presses. SIGPIPE is ignored meanwhile: a reader that goes away
// (`tavik-cli update --yes | head -1`) must not kill the program in the middle of a write; the
// report is then lost, the run is not. One per process: it installs both on construction and
// restores the previous ones on destruction.
class PosixConsole final : public CliConsole {
  public:
    PosixConsole();
    PosixConsole(const PosixConsole&) = delete;
    PosixConsole& operator=(const PosixConsole&) = delete;
    ~PosixConsole();

    bool outputIsTerminal() override;
    bool inputIsTerminal() override;
    std::optional<std::string> readLine() override;
    int interruptPresses() override;
    Clock::time_point now() override { return Clock::now(); }

  private:
    struct sigaction previousInterrupt_ {};
    struct sigaction previousPipe_ {};
};

}  // namespace tavik::cli
