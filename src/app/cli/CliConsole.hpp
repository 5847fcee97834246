#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace tavik::cli {

// The terminal as the command line sees it: what only the platform knows (isatty or
// GetConsoleMode, reading a line, Ctrl-C, the clock), injected so that tests can play each.
// Called on the event-loop thread only, except interruptPresses, which any thread may call.
class CliConsole {
  public:
    using Clock = std::chrono::steady_clock;

    // Whether standard output is a terminal: progress is redrawn in place only there.
    virtual bool outputIsTerminal() = 0;
    // Whether standard input is a terminal: only there is a person to confirm an update.
    virtual bool inputIsTerminal() = 0;
    // One line typed on standard input, without its end of line; nullopt at the end of input,
    // on a read error, or when a Ctrl-C interrupted the read. Blocks.
    virtual std::optional<std::string> readLine() = 0;
    // How many times Ctrl-C has been pressed since the program started. Never blocks.
    virtual int interruptPresses() = 0;
    // Monotonic time, for the progress rate, time left and the Ctrl-C rule.
    virtual Clock::time_point now() = 0;

  protected:
    ~CliConsole() = default;
};

}  // namespace tavik::cli
