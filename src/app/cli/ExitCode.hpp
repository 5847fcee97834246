#pragma once

#include <array>
#include <string_view>

namespace tavik::cli {

// The command line's exit codes, one per outcome a script tells apart; never renumbered, since
// scripts test them.
enum class ExitCode : int {
    success = 0,        // listed, updated, already up to date, or the check matched
    runFailed = 1,      // a check or update run failed; the unit may need the update again
    usage = 2,          // bad arguments, or a confirmation a script cannot give
    noUnit = 3,         // no unit in update mode (within --wait)
    accessDenied = 4,   // a unit is there but this user may not open it
    notUpdatable = 5,   // the unit is offered no image (unidentified; check of an XMOS unit)
    checkDiffered = 6,  // the check read back something other than the catalogue's image
    severalUnits = 7,   // several units attached and --serial chose none of them alone
    interrupted = 130,  // ended by Ctrl-C (128 + SIGINT, as shells report it)
};

inline int toInt(ExitCode code) {
    return static_cast<int>(code);
}

// Every exit code with what it means to the user, in one line of text, in the order of the
// codes: --help is rendered from this list, and the README's table and the manual page repeat
// it word for word (a test compares them).
struct ExitCodeMeaning {
    ExitCode code;
    std::string_view meaning;
};
inline constexpr std::array<ExitCodeMeaning, 9> exitCodeMeanings{{
    {ExitCode::success, "success: listed, updated, already up to date, or the check matched"},
    {ExitCode::runFailed,
     "the run failed (the unit stays in update mode and can be updated again), or the update "
     "was declined at the prompt"},
    {ExitCode::usage, "usage error"},
    {ExitCode::noUnit, "no unit found in update mode"},
    {ExitCode::accessDenied, "access denied to the unit"},
    {ExitCode::notUpdatable, "the unit is not updatable (no image fits it)"},
    {ExitCode::checkDiffered, "the check found a difference"},
    {ExitCode::severalUnits,
     "several units are attached and none was chosen: give --serial (two units that report the "
     "same serial cannot be told apart)"},
    {ExitCode::interrupted, "ended by Ctrl-C"},
}};

}  // namespace tavik::cli
