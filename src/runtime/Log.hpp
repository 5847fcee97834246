#pragma once

#include <string_view>

namespace tavik {

// Where the engine's diagnostic lines go: standard output in the program, a recorder in tests.
// Each line is written whole, with its newline, on the event-loop thread.
class Log {
  public:
    virtual void write(std::string_view line) = 0;

  protected:
    ~Log() = default;
};

// Writes to standard output and flushes at once, so that a redirected file or pipe holds every
// line even when the process is ended abruptly.
class StandardOutputLog final : public Log {
  public:
    void write(std::string_view line) override;
};

}  // namespace tavik
