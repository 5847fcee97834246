#pragma once

#include <ostream>
#include <string_view>

#include "runtime/Log.hpp"

namespace tavik::cli {

// The engine's diagnostic lines for the command line: echoed to standard error with --verbose,
// otherwise dropped. A run's end reaches the command line as a value (RunEnd), not from here.
class CliLog final : public Log {
  public:
    CliLog(std::ostream& err, bool verbose) : err_(err), verbose_(verbose) {}

    void write(std::string_view line) override {
        if (verbose_) {
            err_ << line << std::flush;
        }
    }

  private:
    std::ostream& err_;
    const bool verbose_;
};

}  // namespace tavik::cli
