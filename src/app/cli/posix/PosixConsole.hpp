#pragma once

#include <csignal>

#include "app/cli/CliConsole.hpp"

namespace tavik::cli {

// The terminal on POSIX systems: isatty, poll and read on standard input, and a SIGINT handler
// (sigaction) that only counts presses. One per process: it installs the handler on
// construction and restores the previous one on destruction.
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
    struct sigaction previous_ {};
};

}  // namespace tavik::cli
