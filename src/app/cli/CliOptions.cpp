#include "app/cli/CliOptions.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <sstream>
#include <string>
#include <string_view>

#include "app/ProjectVersion.hpp"

namespace tavik::cli {

namespace {

// The footer of --help: each exit code and its meaning, the words wrapped into lines of at most
// 79 characters (an 80-column terminal) under the meaning's first column.
std::string exitCodeHelp() {
    constexpr std::size_t width = 79, indent = 7;
    std::string text = "Exit codes:\n";
    for (const auto& [code, meaning] : exitCodeMeanings) {
        std::string line = "  " + std::to_string(toInt(code));
        line.resize(indent, ' ');
        for (std::string_view rest = meaning; !rest.empty();) {
            const std::string_view word = rest.substr(0, rest.find(' '));
            rest.remove_prefix(std::min(word.size() + 1, rest.size()));
            if (line.size() == indent) {
                line += word;
            } else if (line.size() + 1 + word.size() > width) {
                text += line + "\n";
                line = std::string(indent, ' ') + std::string(word);
            } else {
                line += " " + std::string(word);
            }
        }
        text += line + "\n";
    }
    return text;
}

// Longer waits are almost certainly a mistake (and would overflow the deadline arithmetic).
constexpr int longestWait = 24 * 60 * 60;

}  // namespace

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    CliOptions options;
    CLI::App app("Brings the firmware of an attached Tavik unit in update mode up to date.",
                 "tavik-cli");
    app.footer(exitCodeHelp());
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

    CLI::App* list = app.add_subcommand(
        "list", "Show every attached unit and what it is offered (with --serial: that unit only)");
    CLI::App* check = app.add_subcommand(
        "check", "Compare the unit's image with the one it is offered; writes nothing");
    CLI::App* update = app.add_subcommand("update", "Write the offered image to the unit");
    update->add_flag("-y,--yes", options.yes, "Do not ask for confirmation");
    update->add_flag("--reinstall", options.reinstall,
                     "Write the image even when the unit is already up to date");
    std::string serial;
    const CLI::Validator nonEmpty(
        [](const std::string& value) {
            return value.empty() ? std::string("an empty serial names no unit") : std::string();
        },
        "", "non-empty");
    std::vector<CLI::Option*> serialOptions;
    for (CLI::App* command : {list, check, update}) {
        command->fallthrough();
        serialOptions.push_back(
            command
                ->add_option("--serial", serial,
                             command == list
                                 ? "Only the unit reporting SERIAL"
                                 : "The unit reporting SERIAL (needed when several are attached)")
                ->type_name("SERIAL")
                ->check(nonEmpty));
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
    if (std::any_of(serialOptions.begin(), serialOptions.end(),
                    [](const CLI::Option* option) { return option->count() > 0; })) {
        options.serial = serial;
    }
    parsed.options = options;
    return parsed;
}

}  // namespace tavik::cli
