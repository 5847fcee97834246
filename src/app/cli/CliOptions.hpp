#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/cli/ExitCode.hpp"

namespace tavik::cli {

enum class Command { list, check, update };

// What the command line asked for.
struct CliOptions {
    Command command = Command::list;
    bool json = false;
    bool verbose = false;
    bool quiet = false;      // no progress; the report alone
    bool yes = false;        // update: no confirmation asked
    bool reinstall = false;  // update: write a unit that is already up to date
    int waitSeconds = 0;     // how long to wait for a unit to arrive; 0: look once
    // The serial of the unit to work on (never empty); unset: the only unit attached.
    std::optional<std::string> serial;
};

// The outcome of parsing: options to run, or text to print and an exit code to end with
// (help: success, on standard output; a bad argument: usage, one line on standard error).
struct ParsedCommandLine {
    std::optional<CliOptions> options;
    ExitCode exitCode = ExitCode::success;
    std::string helpText;
    std::string errorLine;
};

// Parses the arguments after the program name. Never throws, never prints.
ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments);

}  // namespace tavik::cli
