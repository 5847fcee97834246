#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/cli/CliOptions.hpp"
#include "app/cli/ExitCode.hpp"
#include "contracts/RunEnd.hpp"
#include "device/DeviceResult.hpp"
#include "firmware/UnitOffer.hpp"

namespace tavik::cli {

// How a command ended, as its report on standard output tells it.
enum class Outcome {
    listed,        // list found a unit
    noUnit,        // no unit in update mode
    accessDenied,  // a unit this user may not open
    notUpdatable,  // no image fits the unit
    upToDate,      // update: nothing to write (already up to date, or an XMOS unit)
    updated,       // update: written, verified, restarted
    matched,       // check: the unit holds the image exactly
    differed,      // check: it holds something else
    failed,        // a run failed
    declined,      // update: the confirmation was not given
    interrupted,   // Ctrl-C ended the program
    severalUnits,  // several units attached, and no --serial
    sameSerial,    // several units report the serial asked for
};

// One of several units attached, as listing them identified it.
struct ReportedUnit {
    std::string key;  // where the platform lists it
    // What it is offered; unset when it could not be identified, and `open` says why (done:
    // it was opened, but did not identify itself).
    std::optional<UnitOffer> unit;
    std::string versionText;
    DeviceStatus open = DeviceStatus::done;
};

struct CliReport {
    Command command = Command::list;
    Outcome outcome = Outcome::noUnit;
    ExitCode exitCode = ExitCode::noUnit;
    // The identified unit, with the version text it reported; unset when none was opened.
    std::optional<UnitOffer> unit;
    std::string versionText;
    // Where a run failed or was interrupted ("comparing", "writing", "verifying",
    // "restarting").
    std::string phase;
    // How a failed run ended (or that it could not start), as the session told it.
    std::optional<RunEnd> runEnd;
    // The platform's remedy for access denied; empty where it has none.
    std::string accessDeniedRemedy;
    // The serial asked for with --serial.
    std::optional<std::string> serial;
    // list of several units: each of them; severalUnits, sameSerial: the units refused.
    std::vector<ReportedUnit> units;
};

// The report as text for a person, one fact a line, in two parts: the unit and its offer
// (printed as soon as the unit is identified, before any progress; empty without a unit; for a
// list of several, one block a unit with an empty line between them), and how the command
// ended.
std::string renderUnitText(const CliReport& report);
std::string renderOutcomeText(const CliReport& report);
// Why a failed run ended, in words ("the unit stalled the request", "block 7 read back
// differently"), and whether the end names the block of the request it failed at.
std::string failureReason(const RunEnd& end);
bool failureNamesBlock(const RunEnd& end);
// The report as one JSON document on one line, ending with a newline.
std::string renderJson(const CliReport& report);

}  // namespace tavik::cli
