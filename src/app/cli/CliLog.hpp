#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "runtime/Log.hpp"

namespace tavik::cli {

// The engine's diagnostic lines for the command line: echoed to standard error with --verbose,
// otherwise dropped; the last one is kept, since it names why a run failed.
class CliLog final : public Log {
  public:
    CliLog(std::ostream& err, bool verbose) : err_(err), verbose_(verbose) {}

    void write(std::string_view line) override {
        if (verbose_) {
            err_ << line << std::flush;
        }
        last_ = line.substr(0, line.find('\n'));
    }

    const std::string& lastLine() const { return last_; }

  private:
    std::ostream& err_;
    const bool verbose_;
    std::string last_;
};

}  // namespace tavik::cli
