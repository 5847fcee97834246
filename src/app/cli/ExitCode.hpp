#pragma once

namespace tavik::cli {

// The command line's exit codes, one per outcome a script tells apart. Listed in --help and the
// README; never renumbered, since scripts test them.
enum class ExitCode : int {
    success = 0,        // listed, updated, already up to date, or the check matched
    runFailed = 1,      // a check or update run failed; the unit may need the update again
    usage = 2,          // bad arguments, or a confirmation a script cannot give
    noUnit = 3,         // no unit in update mode (within --wait)
    accessDenied = 4,   // a unit is there but this user may not open it
    notUpdatable = 5,   // the unit is offered no image (unidentified; check of an XMOS unit)
    checkDiffered = 6,  // the check read back something other than the catalogue's image
    interrupted = 130,  // ended by Ctrl-C (128 + SIGINT, as shells report it)
};

inline int toInt(ExitCode code) {
    return static_cast<int>(code);
}

}  // namespace tavik::cli
