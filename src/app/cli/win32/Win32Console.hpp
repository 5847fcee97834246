#pragma once

#include "app/cli/CliConsole.hpp"

namespace tavik::cli {

// The terminal on Windows: GetConsoleMode tells a console from a file or pipe, a console's
// output is switched to virtual-terminal processing (so a progress line can be redrawn), and a
// console control handler (SetConsoleCtrlHandler) only counts Ctrl-C and Ctrl-Break presses.
// One per process: it installs the handler on construction and removes it on destruction.
class Win32Console final : public CliConsole {
  public:
    Win32Console();
    Win32Console(const Win32Console&) = delete;
    Win32Console& operator=(const Win32Console&) = delete;
    ~Win32Console();

    // A console that accepted virtual-terminal processing; otherwise progress goes line by line.
    bool outputIsTerminal() override { return outputIsTerminal_; }
    bool inputIsTerminal() override;
    std::optional<std::string> readLine() override;
    int interruptPresses() override;
    Clock::time_point now() override { return Clock::now(); }

  private:
    bool outputIsTerminal_ = false;
};

}  // namespace tavik::cli
