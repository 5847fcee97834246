// The command line in-process against the simulated unit, with the console played by the test.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/ProjectVersion.hpp"
#include "app/cli/CliOptions.hpp"
#include "app/cli/CliSession.hpp"
#include "firmware/FirmwareImage.hpp"
#include "runtime/TaskQueue.hpp"
#include "sim/ScenarioUnit.hpp"
#include "sim/SimulatedDeviceAccess.hpp"
#include "sim/UnitScenario.hpp"

namespace tavik::cli {
namespace {

using enum ExitCode;
using sim::RequestKind;

// Tries to open a unit again that come quickly, so that a unit denied for good ends soon.
constexpr OpenRetryPolicy quickRetries{.moreTries = 2, .interval = std::chrono::milliseconds(1)};
// A console whose clock moves 1 ms at every look, so rates and the Ctrl-C window are the same
// in every run, however slow the machine.
struct FakeConsole final : CliConsole {
    bool outputIsTerminal() override { return outputTerminal; }
    bool inputIsTerminal() override { return inputTerminal; }
    std::optional<std::string> readLine() override {
        ++reads;
        return answer;
    }
    int interruptPresses() override { return presses.load(); }
    Clock::time_point now() override { return clock += std::chrono::milliseconds(1); }

    bool outputTerminal = false, inputTerminal = false;
    std::optional<std::string> answer;
    int reads = 0;
    std::atomic<int> presses{0};
    Clock::time_point clock{};
};

// Presses Ctrl-C as the unit answers the given DFU_DNLOAD blocks: the user's hand during the
// write. Runs on the worker's thread, as a real signal arrives on any thread.
struct PressesDuringDownload final : sim::UnitObserver {
    PressesDuringDownload(FakeConsole& console, std::vector<unsigned> blocks)
        : console(console), blocks(std::move(blocks)) {}
    void requestEnded(const sim::WireRequest& request) override {
        const unsigned block = request.setup[2] | request.setup[3] << 8;
        if (request.kind == RequestKind::download &&
            std::count(blocks.begin(), blocks.end(), block)) {
            ++console.presses;
        }
    }
    void imageStored(const std::vector<std::uint8_t>&) override {}
    void leftBus(sim::Departure) override {}
    FakeConsole& console;
    std::vector<unsigned> blocks;
};

// Units made from scenario [unit] lines, "|" between units and ";" between lines.
std::vector<std::shared_ptr<sim::SimulatedUnit>> makeUnits(const std::string& text) {
    std::vector<std::shared_ptr<sim::SimulatedUnit>> units;
    std::istringstream parts(text);
    for (std::string lines; std::getline(parts, lines, '|');) {
        std::replace(lines.begin(), lines.end(), ';', '\n');
        const sim::UnitScenarioParse parsed = sim::parseUnitScenario("[unit]\n" + lines);
        EXPECT_EQ(parsed.error, "");
        units.push_back(
            sim::makeScenarioUnit(parsed.scenario, [](auto&, auto&) { return false; }).unit);
    }
    return units;
}

// The simulated access, whose units all leave the bus just before its open number `leaveAt`
// (from 1) of a listed unit: a unit gone between its listing and its opening.
struct LeavingAccess final : DeviceAccess {
    explicit LeavingAccess(std::vector<std::shared_ptr<sim::SimulatedUnit>> units)
        : units(units), inner(std::move(units)) {}
    OpenResult openDevice() override { return inner.openDevice(); }
    UnitList listUnits() override { return inner.listUnits(); }
    OpenResult openUnit(const std::string& key) override {
        if (++opens == leaveAt) {
            for (const auto& unit : units) {
                unit->detach();
            }
        }
        return inner.openUnit(key);
    }
    std::vector<std::shared_ptr<sim::SimulatedUnit>> units;
    sim::SimulatedDeviceAccess inner;
    int opens = 0, leaveAt = 0;
};

// One command line run against units made from a scenario's [unit] lines (see makeUnits; empty:
// no unit attached at all). `unit` is the first.
struct CliRun {
    explicit CliRun(const std::string& unitLines) {
        if (!unitLines.empty()) {
            units = makeUnits(unitLines);
            unit = units.front();
        }
    }

    int run(const std::string& commandLine) {
        std::istringstream words(commandLine);
        const ParsedCommandLine parsed = parseCommandLine(
            {std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()});
        if (!parsed.options) {
            out << parsed.helpText;
            err << parsed.errorLine;
            return toInt(parsed.exitCode);
        }
        LeavingAccess devices(units);
        devices.leaveAt = leaveAtOpen;
        if (accessDenied) {
            devices.inner.failOpens({.status = DeviceStatus::accessDenied, .code = hrAccessDenied},
                                    false);
        }
        CliSession session(*parsed.options,
                           {devices, nullptr, std::make_shared<TaskQueue>(), console, out, err,
                            "Install the rule.", launchDetachedThread, retry});
        return toInt(session.run());
    }

    std::size_t requestsOf(RequestKind kind, std::size_t of = 0) const {
        const auto wire = units.at(of)->requests();
        return std::count_if(wire.begin(), wire.end(), [&](auto& r) { return r.kind == kind; });
    }

    std::vector<std::shared_ptr<sim::SimulatedUnit>> units;
    std::shared_ptr<sim::SimulatedUnit> unit;
    bool accessDenied = false;
    OpenRetryPolicy retry = quickRetries;
    int leaveAtOpen = 0;
    FakeConsole console;
    std::ostringstream out, err;
};

// The blocks of the embedded image 103, which the units below hold or are offered.
std::uint64_t blocks103() {
    return (loadFirmwareImage(firmwareResource103).size + 63) / 64;
}

// `text` with each "{B}" replaced by the blocks of image 103.
std::string withBlocks(std::string text) {
    const std::string count = std::to_string(blocks103());
    for (std::size_t at = text.find("{B}"); at != std::string::npos; at = text.find("{B}", at)) {
        text.replace(at, 3, count);
    }
    return text;
}

// The report of a --json run: its last line. The lines before it are progress, each one JSON
// document with the phase, the blocks done of the image's, and the share in percent.
nlohmann::json jsonReport(const std::string& out) {
    std::istringstream lines(out);
    nlohmann::json last;
    for (std::string line; std::getline(lines, line);) {
        last = nlohmann::json::parse(line);
        if (last.value("event", "") == "progress") {
            const std::string phase = last.value("phase", "");
            EXPECT_TRUE(phase == "comparing" || phase == "writing" || phase == "verifying") << line;
            const auto done = last.value("done", UINT64_MAX);
            EXPECT_EQ(last.value("total", UINT64_MAX), blocks103()) << line;
            EXPECT_LE(done, blocks103()) << line;
            EXPECT_EQ(last.value("percent", -1), static_cast<int>(done * 100 / blocks103()))
                << line;
        }
    }
    return last;
}

constexpr const char* absent = "";
constexpr const char* deniedUnit = "serial T1X00001";  // opens are refused (accessDenied)
constexpr const char* xmosUnit = "product-id 0x0009;product Tavik Duo;serial X1234";
constexpr const char* shortSerial = "serial T1X0;image embedded 103 version 2.2.6+579";
constexpr const char* upToDate = "product Tavik Solo;serial T1X00002;image embedded 103";
constexpr const char* older =
    "product Tavik Solo;serial T1X00002;image embedded 103 version 2.2.6+579";

TEST(CliOutcome, ReportsAndExitCode) {
    const struct {
        const char* unit;
        const char* commandLine;
        ExitCode exitCode;
        // Text runs: fragments of standard output, "|" between them. --json runs: the "result".
        const char* expected;
        bool downloads;  // whether the unit saw any DFU_DNLOAD
    } cases[] = {
        {absent, "list", noUnit, "No unit in update mode. Hold MON on IN 2", false},
        {absent, "check --json", noUnit, "no-unit", false},
        {deniedUnit, "list", accessDenied, "this user may not open it. Install the rule.", false},
        {deniedUnit, "update --yes --json", accessDenied, "access-denied", false},
        {xmosUnit, "list", success,
         "Unit: Ta\nSerial: X1234\nVersion: XMOS\nOffer: none, already up to date (XMOS)\n", false},
        {xmosUnit, "update --yes", success, "Already up to date (XMOS); nothing written.", false},
        {xmosUnit, "check", notUpdatable, "Nothing to compare", false},
        {shortSerial, "list", success, "Offer: none, the unit could not be identified", false},
        {shortSerial, "update --yes --reinstall", notUpdatable, "Not updatable", false},
        {shortSerial, "check --json", notUpdatable, "not-updatable", false},
        {upToDate, "list", success,
         "Version: 2.2.7+611\nFirmware: 2.07\nOffer: none, up to date at 2.07", false},
        {upToDate, "update --yes", success,
         "Already up to date; nothing written. update --reinstall writes 2.07", false},
        {upToDate, "update --yes --reinstall", success,
         "comparing: {B} of {B} blocks (100%)|Updated to 2.07", false},
        {upToDate, "check", success, "Match: the unit holds the image of 2.07 exactly.", false},
        {older, "list", success,
         "Unit: Tavik Solo\nSerial: T1X00002\nVersion: 2.2.6+579\nFirmware: 2.04\n"
         "Offer: update to 2.07\n",
         false},
        {older, "check", checkDiffered,
         "comparing: 1 of {B} blocks|Differs: the unit does not hold", false},
        {older, "update --yes --reinstall", success,
         "comparing: 1 of {B} blocks (0%)|writing: {B} of {B} blocks (100%)|"
         "verifying: {B} of {B} blocks (100%)|Updated to 2.07; the unit restarts",
         true},
        {"serial T1X00002;image embedded 103 version 2.2.6+579;stall upload 1", "update -y",
         runFailed,
         "Failed while comparing block 0: the unit stalled the request.\nThe unit stays in update "
         "mode and can be updated again",
         false},
        {"serial T1X00002;image embedded 103;stall upload 5", "check", runFailed,
         "Check failed while comparing block 4: the unit stalled the request.\nNothing was "
         "written",
         false},
        {"serial T1X00002;stall download 100", "update -y", runFailed,
         "Version: (none read)\n|writing: 100 of {B} blocks|Failed while writing block 100: "
         "the unit stalled the request.",
         true},
        {"serial T1X00002;status-reply 00 00 00 00 0a 00", "update -y --json", runFailed, "failed",
         true},
        {"serial T1X00002;corrupt-block 7", "update -y", runFailed,
         "verifying: 8 of {B} blocks|Failed while verifying: block 7 read back differently.", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.unit) + " / " + c.commandLine);
        CliRun cli(c.unit);
        cli.accessDenied = c.unit == deniedUnit;
        EXPECT_EQ(cli.run(c.commandLine), toInt(c.exitCode));
        const std::string out = cli.out.str();
        if (std::string(c.commandLine).ends_with("--json")) {
            const nlohmann::json last = jsonReport(out);
            EXPECT_EQ(last.value("result", ""), c.expected) << out;
            EXPECT_EQ(last.value("exitCode", -1), toInt(c.exitCode));
        } else {
            std::istringstream fragments(withBlocks(c.expected));
            for (std::string fragment; std::getline(fragments, fragment, '|');) {
                EXPECT_NE(out.find(fragment), std::string::npos) << fragment << "\n" << out;
            }
            EXPECT_EQ(out.find('\x1b'), std::string::npos) << "escape codes off a terminal";
        }
        EXPECT_EQ(cli.unit && cli.requestsOf(RequestKind::download) > 0, c.downloads);
    }
}

// Several units: check and update need --serial, which names exactly one of them; list shows
// them all, or with --serial the one.
TEST(CliSeveralUnits, ASerialChoosesOneUnitOrTheCommandRefuses) {
    const std::string solo =
        "product Tavik Solo;serial T1X00002;image embedded 103 version 2.2.6+579";
    const std::string quad =
        "product Tavik Quad;serial T1A00001;image embedded 104 version 1.2.4+887";
    const std::string two = solo + "|" + quad, twins = solo + "|" + solo;
    const struct {
        std::string units;
        const char* commandLine;
        ExitCode exitCode;
        const char* expected;  // fragments of standard output, "|" between them
        int downloadsOn;       // the unit that was written (-1: none)
        int leaveAtOpen = 0;
    } cases[] = {
        {two, "update --yes", severalUnits,
         "Several units are attached (serials T1X00002, T1A00001): choose one with --serial "
         "SERIAL.\n",
         -1},
        {two, "check --json", severalUnits,
         R"("exitCode":7,"result":"several-units","serials":["T1X00002","T1A00001"])", -1},
        {two, "update --yes --serial T1A00001", success, "Serial: T1A00001|Updated to 2.04", 1},
        {two, "check --serial T9Z99999", noUnit,
         "No unit in update mode reports the serial T9Z99999.\n", -1},
        {twins, "update --yes --serial T1X00002", severalUnits,
         "2 units report the serial T1X00002 and cannot be told apart: attach only one of them.",
         -1},
        {two, "list", success,
         "Unit: Tavik Solo\nSerial: T1X00002\nVersion: 2.2.6+579\nFirmware: 2.04\nOffer: update "
         "to 2.07\n\nUnit: Tavik Quad\nSerial: T1A00001\n",
         -1},
        {two, "list --serial T1A00001", success, "Unit: Tavik Quad\nSerial: T1A00001\n", -1},
        // Listed and identified, then gone before the run's own open.
        {two, "update --yes --serial T1A00001", noUnit,
         "No unit in update mode reports the serial T1A00001.", -1, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.commandLine);
        CliRun cli(c.units);
        cli.leaveAtOpen = c.leaveAtOpen;
        EXPECT_EQ(cli.run(c.commandLine), toInt(c.exitCode));
        const std::string out = cli.out.str();
        std::istringstream fragments(c.expected);
        for (std::string fragment; std::getline(fragments, fragment, '|');) {
            EXPECT_NE(out.find(fragment), std::string::npos) << fragment << "\n" << out;
        }
        if (c.exitCode != success) {
            EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
        }
        for (std::size_t k = 0; k < cli.units.size(); ++k) {
            EXPECT_EQ(cli.requestsOf(RequestKind::download, k) > 0, c.downloadsOn == int(k)) << k;
        }
    }
    CliRun listed(two);
    EXPECT_EQ(listed.run("list --json"), toInt(success));
    const nlohmann::json units = nlohmann::json::parse(listed.out.str())["units"];
    ASSERT_EQ(units.size(), 2u) << listed.out.str();
    EXPECT_EQ(units[0].value("serial", ""), "T1X00002");
    EXPECT_EQ(units[1].value("serial", ""), "T1A00001");
    EXPECT_EQ(units[1].value("offer", ""), "update");
}

// A failed run's JSON report says where and why it ended, and what can be done.
TEST(CliFailure, TheJsonReportSaysWhy) {
    const struct {
        const char* unit;
        const char* commandLine;
        nlohmann::json expected;  // the report's fields that say why
    } cases[] = {
        {"serial T1X00002;stall download 100",
         "update -y --json",
         {{"phase", "writing"},
          {"block", 100},
          {"failure", "stalled"},
          {"reason", "the unit stalled the request"},
          {"error", "AsyncRequestCallback Error"}}},
        {"serial T1X00002;status-reply 00 00 00 00 0a 00",
         "update -y --json",
         {{"phase", "writing"},
          {"failure", "unexpected-status"},
          {"reason", "the unit reported dfuERROR"},
          {"error", "GetStatus unexpected result"}}},
        {"serial T1X00002;status-reply 00 00 00",
         "update -y --json",
         {{"failure", "unexpected-status"}, {"reason", "the unit's status reply was incomplete"}}},
        {"serial T1X00002;corrupt-block 7",
         "update -y --json",
         {{"phase", "verifying"},
          {"failure", "verify-failed"},
          {"reason", "block 7 read back differently"},
          {"error", "Update Failed"}}},
        {"serial T1X00002;image embedded 103;stall upload 5",
         "check --json",
         {{"phase", "comparing"},
          {"block", 4},
          {"advice", "Nothing was written; the check can be run again."}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.unit);
        CliRun cli(c.unit);
        EXPECT_EQ(cli.run(c.commandLine), toInt(runFailed));
        const nlohmann::json report = jsonReport(cli.out.str());
        for (const auto& [key, value] : c.expected.items()) {
            EXPECT_EQ(report.value(key, nlohmann::json()), value) << key;
        }
        EXPECT_EQ(report.contains("block"), c.expected.contains("block"));
        if (std::string(c.commandLine).starts_with("update")) {
            EXPECT_EQ(report.value("advice", ""),
                      "The unit stays in update mode and can be updated again: run the update "
                      "again.");
        }
    }
}

// A script must say --yes; a person is asked, and only "y" or "yes" writes.
TEST(CliConfirmation, OnlyAYesOnATerminalWrites) {
    const struct {
        bool inputTerminal;
        std::optional<std::string> answer;
        bool downloads;
    } cases[] = {{false, "y", false}, {true, "y", true}, {true, "yes", true},
                 {true, "n", false},  {true, "", false}, {true, std::nullopt, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer.value_or("(end)"));
        // A yes is seen in the first DNLOAD; the unit stalls it, so the run ends there.
        CliRun cli("serial T1X00002;image embedded 103 version 2.2.6+579;stall download 0");
        cli.console.inputTerminal = c.inputTerminal;
        cli.console.answer = c.answer;
        EXPECT_EQ(cli.run("update"), toInt(c.inputTerminal ? runFailed : usage));
        EXPECT_EQ(cli.requestsOf(RequestKind::download) > 0, c.downloads);
        EXPECT_EQ(cli.console.reads, c.inputTerminal ? 1 : 0);
        EXPECT_EQ(cli.out.str().ends_with("Not updated; nothing written.\n"),
                  c.inputTerminal && !c.downloads);
        if (!c.inputTerminal) {
            EXPECT_EQ(cli.err.str(),
                      "tavik-cli: update asks for confirmation, but standard input is not a "
                      "terminal: add --yes\n");
            EXPECT_EQ(cli.unit->requestCount(), 0u) << "refused before looking for a unit";
        }
    }
}

// During the write a first press only warns, a second within the window ends the program; outside
// it a press ends at once. (The unit stalls DNLOAD block 30: a run that goes on ends soon.)
TEST(CliInterrupt, APressDuringTheWriteWarnsASecondEnds) {
    const struct {
        std::vector<unsigned> pressAtBlocks;  // empty: pressed before the start
        ExitCode exitCode;
        const char* report;
    } cases[] = {
        {{10}, runFailed, "Failed while writing"},
        {{10, 20}, interrupted, "Interrupted while writing: the unit is left in update mode"},
        {{}, interrupted, "Interrupted.\n"},
    };
    for (const auto& c : cases) {
        CliRun cli("serial T1X00002;stall download 30");
        cli.unit->setObserver(
            std::make_shared<PressesDuringDownload>(cli.console, c.pressAtBlocks));
        cli.console.presses = c.pressAtBlocks.empty() ? 1 : 0;
        EXPECT_EQ(cli.run(c.pressAtBlocks.empty() ? "update -y --wait 5" : "update -y"),
                  toInt(c.exitCode));
        EXPECT_NE(cli.out.str().find(c.report), std::string::npos) << cli.out.str();
        EXPECT_EQ(
            cli.err.str().find("Stopping now leaves the unit in update mode") != std::string::npos,
            !c.pressAtBlocks.empty())
            << cli.err.str();
        EXPECT_EQ(cli.requestsOf(RequestKind::download) == 31, c.exitCode == runFailed)
            << "the run went on to block 30";
    }
}

TEST(CliArguments, BadInputIsOneLineAndTheUsageCode) {
    for (const char* commandLine :
         {"", "frobnicate", "list --bogus", "list --wait", "--wait abc list", "list --wait -1",
          "list --wait 99999999999", "--verbose --quiet list", "list check", "check --yes",
          "list --reinstall", "check --serial", "update -y --serial"}) {
        CliRun cli(absent);
        EXPECT_EQ(cli.run(commandLine), toInt(usage)) << commandLine;
        const std::string err = cli.err.str();
        EXPECT_EQ(err.rfind("tavik-cli: ", 0), 0u) << commandLine;
        EXPECT_EQ(err.find('\n'), std::string::npos) << commandLine << ": " << err;
        EXPECT_EQ(cli.out.str(), "") << commandLine;
    }
    const ParsedCommandLine empty = parseCommandLine({"check", "--serial", ""});
    EXPECT_EQ(empty.exitCode, usage);
    EXPECT_NE(empty.errorLine.find("an empty serial names no unit"), std::string::npos);
    CliRun help(absent), version(absent);
    EXPECT_EQ(help.run("--help"), toInt(success));
    EXPECT_EQ(version.run("--version"), toInt(success));
    EXPECT_EQ(version.out.str(), "tavik-cli " + std::string(projectVersion) + "\n");
}

// On a terminal each phase is one line redrawn in place, at most every redrawInterval of the
// console's clock (1 ms a look here, about one look a block: some 27 draws for 2,649 blocks),
// and ended by a newline.
TEST(CliProgress, RedrawsOneLineOnATerminal) {
    CliRun cli(upToDate);
    cli.console.outputTerminal = true;
    EXPECT_EQ(cli.run("check"), toInt(success));
    const std::string out = cli.out.str();
    const std::size_t lastDraw = out.rfind(withBlocks("\rcomparing {B} of {B} blocks 100%  "));
    ASSERT_NE(lastDraw, std::string::npos) << out;
    const std::string line = out.substr(lastDraw, out.find('\n', lastDraw) - lastDraw);
    EXPECT_TRUE(line.ends_with(" KiB/s  0:00 left\x1b[K")) << line;
    EXPECT_EQ(line.rfind('\r'), 0u) << "the phase's last draw, then its newline";
    const auto draws = std::count(out.begin(), out.end(), '\r');
    const auto expectedDraws = static_cast<std::ptrdiff_t>(
        blocks103() / static_cast<std::uint64_t>(ProgressReporter::redrawInterval.count()));
    EXPECT_GT(draws, expectedDraws * 3 / 4);
    EXPECT_LT(draws, expectedDraws * 3 / 2 + 2);
}

// --wait looks again until the unit arrives (here by polling: the test gives no monitor).
TEST(CliWait, ListsAUnitThatArrivesLater) {
    CliRun cli(upToDate);
    cli.unit->detach();
    std::thread arrival([unit = cli.unit] {
        std::this_thread::sleep_for(CliSession::pollInterval * 2);
        unit->attach();
    });
    EXPECT_EQ(cli.run("list --wait 20 --json"), toInt(success));
    arrival.join();
    EXPECT_EQ(nlohmann::json::parse(cli.out.str()).value("result", ""), "listed");

    // With --serial it waits for that unit, another one attached all along.
    CliRun two(std::string(older) + "|" + upToDate + ";serial T1A00001");
    two.units[1]->detach();
    std::thread later([unit = two.units[1]] {
        std::this_thread::sleep_for(CliSession::pollInterval * 2);
        unit->attach();
    });
    EXPECT_EQ(two.run("list --wait 20 --serial T1A00001 --json"), toInt(success));
    later.join();
    const nlohmann::json units = nlohmann::json::parse(two.out.str())["units"];
    ASSERT_EQ(units.size(), 1u) << two.out.str();
    EXPECT_EQ(units[0].value("serial", ""), "T1A00001");
}

// A unit that is not ready in its first moments is found without --wait, as the engine's policy
// tries it again, and the command goes on as with any unit.
TEST(CliNotReady, AUnitNotReadyForAMomentIsFoundAndChecked) {
    for (const char* how : {"open", "requests"}) {
        SCOPED_TRACE(how);
        CliRun cli(std::string(upToDate) + ";not-ready 300 " + how);
        cli.retry = {};
        EXPECT_EQ(cli.run("check"), toInt(success)) << cli.err.str();
        EXPECT_NE(cli.out.str().find("Match: the unit holds the image of 2.07 exactly."),
                  std::string::npos)
            << cli.out.str();
    }
}

}  // namespace
}  // namespace tavik::cli
