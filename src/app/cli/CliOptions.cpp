#include "app/cli/CliOptions.hpp"

#include <CLI/CLI.hpp>

#include <sstream>

#include "app/ProjectVersion.hpp"

namespace tavik::cli {

namespace {

constexpr const char* exitCodeTable =
    "Exit codes:\n"
    "  0    success: listed, updated, already up to date, or the check matched\n"
    "  1    the run failed (the unit stays in update mode and can be updated again),\n"
    "       or the update was declined at the prompt\n"
    "  2    usage error\n"
    "  3    no unit found in update mode\n"
    "  4    access denied to the unit\n"
    "  5    the unit is not updatable (no image fits it)\n"
    "  6    the check found a difference\n"
    "  130  ended by Ctrl-C\n";

// Longer waits are almost certainly a mistake (and would overflow the deadline arithmetic).
constexpr int longestWait = 24 * 60 * 60;

}  // namespace

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    CliOptions options;
    CLI::App app("Brings the firmware of an attached Tavik unit in update mode up to date.",
                 "tavik-cli");
    app.footer(exitCodeTable);
    app.set_version_flag("--version", "tavik-cli " + std::string(projectVersion));
    app.require_subcommand(1);
    app.add_flag("--json", options.json,
                 "Print one JSON document (progress as JSON lines before it)");
    CLI::Option* verbose =
        app.add_flag("-v,--verbose", options.verbose, "Diagnostic lines on standard error");
    app.add_flag("-q,--quiet", options.quiet, "No progress, only the report")->excludes(verbose);
    app.add_option("--wait", options.waitSeconds,
                   "Wait up to SECONDS for a unit to arrive (default: look once)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0, longestWait));

    CLI::App* list = app.add_subcommand("list", "Show the attached unit and what it is offered");
    CLI::App* check = app.add_subcommand(
        "check", "Compare the unit's image with the one it is offered; writes nothing");
    CLI::App* update = app.add_subcommand("update", "Write the offered image to the unit");
    update->add_flag("-y,--yes", options.yes, "Do not ask for confirmation");
    update->add_flag("--reinstall", options.reinstall,
                     "Write the image even when the unit is already up to date");
    for (CLI::App* command : {list, check, update}) {
        command->fallthrough();
    }

    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    ParsedCommandLine parsed;
    try {
        app.parse(reversed);
    } catch (const CLI::Success& helpOrVersion) {
        std::ostringstream out, err;
        app.exit(helpOrVersion, out, err);
        parsed.helpText = out.str();
        return parsed;
    } catch (const CLI::ParseError& error) {
        parsed.exitCode = ExitCode::usage;
        parsed.errorLine = std::string("tavik-cli: ") + error.what() + " (see tavik-cli --help)";
        return parsed;
    }
    options.command = update->parsed()  ? Command::update
                      : check->parsed() ? Command::check
                                        : Command::list;
    parsed.options = options;
    return parsed;
}

}  // namespace tavik::cli
