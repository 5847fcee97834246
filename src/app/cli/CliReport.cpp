#include "app/cli/CliReport.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <iterator>

#include "device/UsbProtocol.hpp"

namespace tavik::cli {

namespace {

const char* commandName(Command command) {
    switch (command) {
        case Command::list:
            return "list";
        case Command::check:
            return "check";
        case Command::update:
            return "update";
    }
    return "";
}

const char* outcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::listed:
            return "listed";
        case Outcome::noUnit:
            return "no-unit";
        case Outcome::accessDenied:
            return "access-denied";
        case Outcome::notUpdatable:
            return "not-updatable";
        case Outcome::upToDate:
            return "up-to-date";
        case Outcome::updated:
            return "updated";
        case Outcome::matched:
            return "matched";
        case Outcome::differed:
            return "differed";
        case Outcome::failed:
            return "failed";
        case Outcome::declined:
            return "declined";
        case Outcome::interrupted:
            return "interrupted";
        case Outcome::severalUnits:
            return "several-units";
        case Outcome::sameSerial:
            return "same-serial";
    }
    return "";
}

const char* offerName(OfferOutcome outcome) {
    switch (outcome) {
        case OfferOutcome::xmos:
            return "xmos";
        case OfferOutcome::unidentified:
            return "unidentified";
        case OfferOutcome::upToDate:
            return "up-to-date";
        case OfferOutcome::update:
            return "update";
    }
    return "";
}

std::string offerText(const UnitOffer& offer) {
    switch (offer.outcome) {
        case OfferOutcome::xmos:
            return "none, already up to date (XMOS)";
        case OfferOutcome::unidentified:
            return "none, the unit could not be identified";
        case OfferOutcome::upToDate:
            return "none, up to date at " + offer.targetDisplayVersion +
                   " (update --reinstall writes it again)";
        case OfferOutcome::update:
            return "update to " + offer.targetDisplayVersion;
    }
    return "";
}

// The unit's texts come from its descriptors: a control character (an escape sequence, a
// carriage return) is shown as "?" so that a unit cannot rewrite the terminal or forge a line.
std::string printable(std::string text) {
    for (char& c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            c = '?';
        }
    }
    return text;
}

// What the unit runs, as the window shows it: an up-to-date unit holds the target version.
std::string firmwareShown(const UnitOffer& offer) {
    return offer.outcome == OfferOutcome::upToDate ? offer.targetDisplayVersion
                                                   : offer.currentDisplayVersion;
}

std::string unitText(const UnitOffer& offer, const std::string& versionText) {
    std::string text =
        "Unit: " + printable(offer.product) + "\nSerial: " + printable(offer.serial) +
        "\nVersion: " + (versionText.empty() ? "(none read)" : printable(versionText)) + "\n";
    if (!firmwareShown(offer).empty()) {
        text += "Firmware: " + firmwareShown(offer) + "\n";
    }
    return text + "Offer: " + offerText(offer) + "\n";
}

// A listed unit that could not be identified, in words.
std::string unidentifiedText(const ReportedUnit& unit) {
    return "Unit at " + printable(unit.key) +
           (unit.open == DeviceStatus::accessDenied ? ": this user may not open it\n"
                                                    : ": could not be identified\n");
}

// The serials of the units refused, for one line: "T1X00001, T1A00001".
std::string serialsText(const std::vector<ReportedUnit>& units) {
    std::string text;
    for (const ReportedUnit& unit : units) {
        text += (text.empty() ? "" : ", ") +
                (unit.unit ? printable(unit.unit->serial) : std::string("(unidentified)"));
    }
    return text;
}

nlohmann::json unitJson(const UnitOffer& offer, const std::string& versionText) {
    return {{"product", offer.product},
            {"serial", offer.serial},
            {"version", versionText},
            {"firmware", firmwareShown(offer)},
            {"offer", offerName(offer.outcome)},
            {"target", offer.targetDisplayVersion}};
}

// The names of the DFU states a unit reports in bState.
const char* dfuStateName(std::uint8_t state) {
    static constexpr const char* names[] = {
        "appIDLE",          "appDETACH",   "dfuIDLE",
        "dfuDNLOAD-SYNC",   "dfuDNBUSY",   "dfuDNLOAD-IDLE",
        "dfuMANIFEST-SYNC", "dfuMANIFEST", "dfuMANIFEST-WAIT-RESET",
        "dfuUPLOAD-IDLE",   "dfuERROR"};
    return state < std::size(names) ? names[state] : nullptr;
}

// What the user can do after a failed run.
const char* advice(Command command) {
    return command == Command::update
               ? "The unit stays in update mode and can be updated again: run the update again."
               : "Nothing was written; the check can be run again.";
}

// A name for scripts, one per reason.
const char* failureName(RunFailure failure) {
    switch (failure) {
        case RunFailure::none:
            return "none";
        case RunFailure::stalled:
            return "stalled";
        case RunFailure::unitGone:
            return "unit-gone";
        case RunFailure::timedOut:
            return "timed-out";
        case RunFailure::transferFailed:
            return "transfer-failed";
        case RunFailure::unexpectedStatus:
            return "unexpected-status";
        case RunFailure::verifyFailed:
            return "verify-failed";
        case RunFailure::unreachable:
            return "unreachable";
        case RunFailure::workerNotStarted:
            return "no-thread";
        case RunFailure::notStarted:
            return "not-started";
    }
    return "";
}

std::string outcomeText(const CliReport& report) {
    const std::string target = report.unit ? report.unit->targetDisplayVersion : "";
    switch (report.outcome) {
        case Outcome::listed:
            return "";
        case Outcome::noUnit:
            return report.serial
                       ? "No unit in update mode reports the serial " + printable(*report.serial) +
                             ".\n"
                       : "No unit in update mode. Hold MON on IN 2 and power on the unit.\n";
        case Outcome::severalUnits:
            return "Several units are attached (serials " + serialsText(report.units) +
                   "): choose one with --serial SERIAL.\n";
        case Outcome::sameSerial:
            return std::to_string(report.units.size()) + " units report the serial " +
                   printable(report.serial.value_or("")) +
                   " and cannot be told apart: attach only one of them.\n";
        case Outcome::accessDenied:
            return "A unit is attached, but this user may not open it." +
                   (report.accessDeniedRemedy.empty() ? std::string()
                                                      : " " + report.accessDeniedRemedy) +
                   "\n";
        case Outcome::notUpdatable:
            return report.unit && report.unit->outcome == OfferOutcome::xmos
                       ? "Nothing to compare: the unit reports XMOS and is offered no image.\n"
                       : "Not updatable: the unit could not be identified, so no image fits "
                         "it.\n";
        case Outcome::upToDate:
            return report.unit && report.unit->outcome == OfferOutcome::xmos
                       ? "Already up to date (XMOS); nothing written.\n"
                       : "Already up to date; nothing written. update --reinstall writes " +
                             target + " again.\n";
        case Outcome::updated:
            return "Updated to " + target + "; the unit restarts into its application.\n";
        case Outcome::matched:
            return "Match: the unit holds the image of " + target + " exactly.\n";
        case Outcome::differed:
            return "Differs: the unit does not hold the image of " + target + ".\n";
        case Outcome::failed: {
            const RunEnd end = report.runEnd.value_or(RunEnd{});
            return (report.command == Command::check ? "Check failed while " : "Failed while ") +
                   report.phase +
                   (failureNamesBlock(end) ? " block " + std::to_string(end.block) : "") + ": " +
                   failureReason(end) + ".\n" + advice(report.command) + "\n";
        }
        case Outcome::declined:
            return "Not updated; nothing written.\n";
        case Outcome::interrupted:
            return report.phase == "writing"
                       ? "Interrupted while writing: the unit is left in update mode with an "
                         "incomplete image; run the update again.\n"
                       : "Interrupted.\n";
    }
    return "";
}

}  // namespace

std::string failureReason(const RunEnd& end) {
    switch (end.failure) {
        case RunFailure::stalled:
            return "the unit stalled the request";
        case RunFailure::unitGone:
            return "the unit left the bus";
        case RunFailure::timedOut:
            return "no answer within " +
                   std::to_string(
                       std::chrono::duration_cast<std::chrono::seconds>(usb::transferTimeout)
                           .count()) +
                   " s";
        case RunFailure::transferFailed:
            return "the request failed on the bus";
        case RunFailure::unexpectedStatus: {
            if (!end.unitState) {
                return "the unit's status reply was incomplete";
            }
            const char* name = dfuStateName(*end.unitState);
            return name != nullptr ? std::string("the unit reported ") + name
                                   : "the unit reported state " + std::to_string(*end.unitState);
        }
        case RunFailure::verifyFailed:
            return "block " + std::to_string(end.block) + " read back differently";
        case RunFailure::unreachable:
            return "the unit was gone before the next request";
        case RunFailure::workerNotStarted:
            return "no thread could be started for the next request";
        case RunFailure::notStarted:
            return "the run could not start";
        case RunFailure::none:
            break;
    }
    return "the run ended early";
}

bool failureNamesBlock(const RunEnd& end) {
    const bool numbered = end.phase == UpdateState::CompareExisting ||
                          end.phase == UpdateState::Download || end.phase == UpdateState::Verify;
    return numbered && end.failure != RunFailure::verifyFailed &&
           end.failure != RunFailure::notStarted;
}

std::string renderUnitText(const CliReport& report) {
    if (report.command == Command::list && !report.units.empty()) {
        std::string text;
        for (const ReportedUnit& unit : report.units) {
            if (!text.empty()) {
                text += '\n';
            }
            text += unit.unit ? unitText(*unit.unit, unit.versionText) : unidentifiedText(unit);
        }
        return text;
    }
    return report.unit ? unitText(*report.unit, report.versionText) : std::string();
}

std::string renderOutcomeText(const CliReport& report) {
    return outcomeText(report);
}

std::string renderJson(const CliReport& report) {
    nlohmann::json document = {{"command", commandName(report.command)},
                               {"result", outcomeName(report.outcome)},
                               {"exitCode", toInt(report.exitCode)}};
    if (report.command == Command::list) {
        // Every unit listed, the only one or each of several.
        document["units"] = nlohmann::json::array();
        if (report.units.empty() && report.unit) {
            document["units"].push_back(unitJson(*report.unit, report.versionText));
        }
        for (const ReportedUnit& unit : report.units) {
            document["units"].push_back(
                unit.unit ? unitJson(*unit.unit, unit.versionText)
                          : nlohmann::json{{"key", unit.key},
                                           {"error", unit.open == DeviceStatus::accessDenied
                                                         ? "access-denied"
                                                         : "not-identified"}});
        }
    } else if (report.unit) {
        document["unit"] = unitJson(*report.unit, report.versionText);
    }
    if (report.serial) {
        document["serial"] = *report.serial;
    }
    if (report.outcome == Outcome::severalUnits) {
        document["serials"] = nlohmann::json::array();
        for (const ReportedUnit& unit : report.units) {
            document["serials"].push_back(unit.unit ? nlohmann::json(unit.unit->serial)
                                                    : nlohmann::json());
        }
    }
    if (!report.phase.empty()) {
        document["phase"] = report.phase;
    }
    if (report.outcome == Outcome::failed && report.runEnd) {
        const RunEnd& end = *report.runEnd;
        if (failureNamesBlock(end)) {
            document["block"] = end.block;
        }
        document["failure"] = failureName(end.failure);
        document["reason"] = failureReason(end);
        document["error"] = failureLine(end.failure);
        document["advice"] = advice(report.command);
    }
    if (report.outcome == Outcome::accessDenied && !report.accessDeniedRemedy.empty()) {
        document["remedy"] = report.accessDeniedRemedy;
    }
    // Unit texts come from the unit's descriptors: bytes that are not UTF-8 are replaced rather
    // than ending the program with an exception.
    return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace tavik::cli
