// The exit codes as --help, the README's table and the manual page list them: each the codes of
// ExitCode.hpp's list, in its order, with its meanings word for word.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "app/cli/CliOptions.hpp"
#include "app/cli/ExitCode.hpp"

namespace tavik::cli {
namespace {

using Listing = std::vector<std::pair<int, std::string>>;  // code, meaning

// What `item` finds in `text`: its first group the code, its second the meaning.
Listing listed(const std::string& text, const char* item) {
    Listing listing;
    const std::regex pattern(item);
    for (std::sregex_iterator m(text.begin(), text.end(), pattern), end; m != end; ++m) {
        listing.emplace_back(std::stoi((*m)[1]), (*m)[2]);
    }
    return listing;
}

// The text after `heading` up to `end`; empty without the heading.
std::string section(const std::string& text, const std::string& heading, const std::string& end) {
    const std::size_t start = text.find(heading);
    if (start == std::string::npos) {
        return {};
    }
    const std::size_t from = start + heading.size();
    return text.substr(from, text.find(end, from) - from);
}

std::string fileText(const char* path) {
    std::ifstream file(path);
    EXPECT_TRUE(file) << path;
    return {std::istreambuf_iterator<char>(file), {}};
}

TEST(ExitCodes, HelpReadmeAndManualPageListThemAsTheCodeDoes) {
    Listing expected;
    for (const auto& [code, meaning] : exitCodeMeanings) {
        expected.emplace_back(toInt(code), meaning);
    }
    // --help ends with "  CODE", the meaning from the eighth column, wrapped onto lines indented
    // as far.
    const std::string help =
        std::regex_replace(section(parseCommandLine({"--help"}).helpText, "Exit codes:\n", "\n\n"),
                           std::regex("\n {7}(?! )"), " ");
    EXPECT_EQ(listed(help, "(?:^|\n)  ([0-9]+) +([^ ].*)"), expected) << help;

    const std::string readme =
        section(fileText(TAVIK_README), "| exit code | meaning |\n|---|---|\n", "\n\n");
    EXPECT_EQ(listed(readme, R"((?:^|\n)\| ([0-9]+) \| (.+) \|)"), expected) << readme;

    // The manual page: ".TP", ".B CODE", then the meaning's lines (with "\-" for "-").
    const std::string manual = std::regex_replace(
        std::regex_replace(section(fileText(TAVIK_CLI_MANUAL), ".SH EXIT STATUS\n", "\n.SH"),
                           std::regex(R"(\\-)"), "-"),
        std::regex("\n([^.])"), " $1");
    EXPECT_EQ(listed(manual, R"((?:^|\n)\.TP\n\.B ([0-9]+) (.+))"), expected) << manual;
}

}  // namespace
}  // namespace tavik::cli
