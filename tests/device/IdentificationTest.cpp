// Identification in the native presets: the seeds of the fuzz-identification target replayed
// through its oracle (tests/fuzz/IdentificationFuzz.cpp). Each seed is a unit's replies, named for
// what it is: a unit of each product id, another vendor's units (products 0x000D and 0x0009),
// another product of ours, a stalled device descriptor, version replies short, whole and without a
// NUL. A broken contract aborts the run with "INVARIANT VIOLATED: ..." after the seed's name.
// And the udev rule against the unit's ids.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "device/Identification.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace tavik {
namespace {

TEST(Identification, FuzzSeedsKeepTheContracts) {
    std::size_t seeds = 0;
    for (const auto& seed : std::filesystem::directory_iterator(TAVIK_IDENTIFICATION_SEEDS)) {
        std::fprintf(stderr, "seed %s\n", seed.path().filename().c_str());
        std::ifstream file(seed.path(), std::ios::binary);
        const std::vector<std::uint8_t> input(std::istreambuf_iterator<char>(file), {});
        LLVMFuzzerTestOneInput(input.data(), input.size());
        ++seeds;
    }
    EXPECT_EQ(seeds, 8u);
}

// The udev rule grants access to exactly the units the program identifies.
TEST(Identification, TheUdevRuleGrantsEveryUnitIdAndNoOther) {
    std::ifstream rule(TAVIK_UDEV_RULE);
    ASSERT_TRUE(rule) << TAVIK_UDEV_RULE;
    const std::regex grant(
        R"re(SUBSYSTEM=="usb", ENV\{DEVTYPE\}=="usb_device", ATTR\{idVendor\}=="([0-9a-f]{4})", )re"
        R"re(ATTR\{idProduct\}=="([0-9a-f]{4})", TAG\+="uaccess")re");
    std::vector<std::string> granted, expected;
    for (std::string line; std::getline(rule, line);) {
        std::smatch m;
        if (!line.empty() && !line.starts_with('#')) {
            granted.push_back(std::regex_match(line, m, grant) ? m.str(1) + ":" + m.str(2)
                                                               : "not a grant: " + line);
        }
    }
    for (const std::uint16_t product : unitProductIds) {
        char id[16];
        std::snprintf(id, sizeof id, "%04x:%04x", unitVendorId, product);
        expected.push_back(id);
    }
    std::sort(granted.begin(), granted.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(granted, expected);
}

}  // namespace
}  // namespace tavik
