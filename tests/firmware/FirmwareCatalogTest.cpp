#include <gtest/gtest.h>

#include <string>

#include "firmware/FirmwareCatalog.hpp"

namespace tavik {
namespace {

TEST(FirmwareCatalog, SelectsEntryBySerialRulesInOrder) {
    struct Case {
        std::string serial;
        int resourceId;
    };
    const Case cases[] = {
        {"X6AXX", 105},  // the "6" rule is tried before the "A" rule
        {"06000", 105}, {"XXAXX", 104}, {"12A45678", 104}, {"XXaXX", 103},  // case matters
        {"6XXXX", 103},                  // "6" counts only at index 1
        {"XX6XX", 103}, {"XXXAX", 103},  // "A" counts only at index 2
        {"AAXAA", 103}, {"", 103},       // too short for any rule: never read past the end
        {"X", 103},     {"X6", 105},    {"XX", 103},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(selectFirmwareEntry(c.serial).resourceId, c.resourceId) << '"' << c.serial << '"';
    }
}

TEST(FirmwareCatalog, CurrentDisplayVersionMapsBuildNumbers) {
    const FirmwareEntry& entry105 = firmwareCatalog[0];
    const FirmwareEntry& entry104 = firmwareCatalog[1];
    const FirmwareEntry& entry103 = firmwareCatalog[2];
    struct Case {
        const FirmwareEntry* entry;
        std::string build;
        std::string display;
    };
    const Case cases[] = {
        // entry 104: single builds
        {&entry104, "887", "2.02"},
        {&entry104, "888", "2.03"},
        {&entry104, "889", "2.XX"},
        {&entry104, "886", "2.XX"},
        {&entry104, "930", "2.XX"},  // the target's own build maps to nothing
        // entry 103: range bounds and neighbours
        {&entry103, "539", "2.XX"},
        {&entry103, "540", "2.01"},
        {&entry103, "563", "2.01"},
        {&entry103, "564", "2.02"},
        {&entry103, "565", "2.XX"},
        {&entry103, "571", "2.03"},
        {&entry103, "579", "2.04"},
        {&entry103, "597", "2.05"},
        {&entry103, "607", "2.06"},
        {&entry103, "611", "2.XX"},
        // entry 105 has no list: nothing maps, even another entry's builds
        {&entry105, "887", "2.XX"},
        {&entry105, "1960", "2.XX"},
        // the number is converted as parseBuildNumber does (below); a failure maps to nothing
        {&entry104, " +887abc", "2.02"},
        {&entry104, "-887", "2.XX"},
        {&entry104, "", "2.XX"},
        {&entry103, "abc", "2.XX"},
        {&entry103, "4294967860", "2.XX"},  // 564 + 2^32: must not wrap into a known build
    };
    for (const Case& c : cases) {
        EXPECT_EQ(currentDisplayVersion(*c.entry, c.build), c.display)
            << "entry " << c.entry->resourceId << ", build \"" << c.build << '"';
    }
}

TEST(FirmwareCatalog, BuildNumberConversionKeepsTheSigned32BitRange) {
    struct Case {
        std::string text;
        bool converts;
        std::int32_t value;
    };
    const Case cases[] = {
        {"0", true, 0},
        {"2147483647", true, 2147483647},
        {"2147483648", false, 0},
        {"-2147483648", true, -2147483647 - 1},
        {"-2147483649", false, 0},
        {"+2147483647", true, 2147483647},
        {"000000000000000000000000042", true, 42},  // many digits, small value
        {"21474836470000000000000", false, 0},      // far out of range: no wrap-around
        {"-0", true, 0},
        {"", false, 0},
        {"-", false, 0},
        {" + 1", false, 0},
        {"+-887", false, 0},
        {"x887", false, 0},
        {"   ", false, 0},
        {std::string(1, '\0') + "887", false, 0},
        {"\t\n\v\f\r887", true, 887},  // leading white space, then trailing text, is skipped
        {"0887.5+1", true, 887},
    };
    for (const Case& c : cases) {
        std::int32_t value = 12345;
        EXPECT_EQ(parseBuildNumber(c.text, value), c.converts) << '"' << c.text << '"';
        if (c.converts) {
            EXPECT_EQ(value, c.value) << '"' << c.text << '"';
        }
    }
}

}  // namespace
}  // namespace tavik
