// The catalogue's rules at their edges. fuzz-catalog checks the same functions on any text, and
// the build number's conversion against strtoll from a seed at the 32-bit edge.
#include <gtest/gtest.h>

#include <string>

#include "firmware/FirmwareCatalog.hpp"

namespace tavik {
namespace {

TEST(FirmwareCatalog, SelectsEntryBySerialRulesInOrder) {
    const std::pair<std::string, int> cases[] = {
        {"X6AXX", 105},                               // the "6" rule is tried before the "A" rule
        {"XXAXX", 104}, {"XXaXX", 103},               // case matters
        {"6XXXX", 103}, {"XX6XX", 103},               // "6" counts only at index 1
        {"XXXAX", 103},                               // "A" only at index 2
        {"", 103},      {"X6", 105},    {"XA", 103},  // short serials are never read past the end
    };
    for (const auto& [serial, id] : cases) {
        EXPECT_EQ(selectFirmwareEntry(serial).resourceId, id) << '"' << serial << '"';
    }
}

// A build shows the display version of the range holding it, bounds included; the number is
// converted as parseBuildNumber does.
TEST(FirmwareCatalog, CurrentDisplayVersionMapsBuildNumbers) {
    const auto& [entry105, entry104, entry103] = firmwareCatalog;
    const struct {
        const FirmwareEntry& entry;
        std::string build, display;
    } cases[] = {
        {entry104, "887", "2.02"},      {entry104, "888", "2.03"},
        {entry104, "889", "2.XX"},      {entry104, "930", "2.XX"},  // the target's own build
        {entry103, "539", "2.XX"},      {entry103, "540", "2.01"},
        {entry103, "563", "2.01"},      {entry103, "564", "2.02"},
        {entry103, "565", "2.XX"},      {entry105, "1960", "2.XX"},  // no list: nothing maps
        {entry104, " +887abc", "2.02"}, {entry104, "-887", "2.XX"},
        {entry104, "", "2.XX"},         {entry103, "4294967860", "2.XX"},  // 564 + 2^32
    };
    for (const auto& c : cases) {
        EXPECT_EQ(currentDisplayVersion(c.entry, c.build), c.display)
            << c.entry.resourceId << " \"" << c.build << '"';
    }
}

}  // namespace
}  // namespace tavik
