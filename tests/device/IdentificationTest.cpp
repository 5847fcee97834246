// Identification: example units through the engine as a program connects to them; the seeds of
// the fuzz-identification target replayed through its oracle (tests/fuzz/IdentificationFuzz.cpp),
// each a unit's replies named for what it is (a unit of each product id, another vendor's units,
// another product of ours, a stalled device descriptor, version replies short, whole and without
// a NUL); and the udev rule against the unit's ids.
#include <gtest/gtest.h>

// Unit configurations are designated initializers that leave the other fields at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

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
#include "fuzz/Invariant.hpp"
#include "support/EngineHarness.hpp"
#include "support/TestImages.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace tavik {
namespace {

// What the unit was asked, one letter a request: D the device descriptor, P and S a read of the
// product and the serial string, U a DFU_UPLOAD, ? anything else.
std::string readsOf(const sim::SimulatedUnit& unit, const sim::UnitConfig& config) {
    std::string reads;
    for (const sim::WireRequest& r : unit.requests()) {
        using enum sim::RequestKind;
        reads += r.kind == deviceDescriptor                                        ? "D "
                 : r.kind == stringDescriptor && r.setup[2] == config.productIndex ? "P "
                 : r.kind == stringDescriptor && r.setup[2] == config.serialIndex  ? "S "
                 : r.kind == upload                                                ? "U "
                                                                                   : "? ";
    }
    return reads;
}

TEST(Identification, ExampleUnits) {
    const struct {
        const char* what;
        sim::UnitConfig unit;
        const char* reads;
        const char* line;   // what the engine writes
        const char* texts;  // product|serial|version|build handed out; empty: not recognised
    } cases[] = {
        {"0x001D, its version padded with NULs",
         {.productId = 0x001D, .image = test::makeImage(130, "2.2.7+611")},
         "D P P S S U ",
         "",
         "Tavik|T1X00001|2.2.7+611|611"},
        {"0x0009: two characters of the product, XMOS, no version read",
         {.productId = 0x0009, .product = u"Tavik6", .image = test::makeImage(130, "2.2.7+611")},
         "D P P S S ",
         "",
         "Ta|T1X00001|XMOS|"},
        {"a device descriptor read of 17 bytes",
         {.deviceDescriptorLength = 17},
         "D ",
         "Error getting descriptor\n",
         ""},
        {"our vendor's product 0x0010", {.productId = 0x0010}, "D ", "", ""},
        {"product bLength 0: one read", {.productLength = 0}, "D P S S U ", "", "|T1X00001||"},
        {"product bLength 3: two reads, no character",
         {.productLength = 3},
         "D P P S S U ",
         "",
         "|T1X00001||"},
        {"product bLength 10: four characters",
         {.productLength = 10},
         "D P P S S U ",
         "",
         "Tavi|T1X00001||"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::EngineHarness h(c.unit);
        h.create();
        EXPECT_EQ(readsOf(*h.unit, c.unit), c.reads);
        EXPECT_EQ(h.log.lines,
                  *c.line != 0 ? std::vector<std::string>{c.line} : std::vector<std::string>{});
        const bool recognised = *c.texts != 0;
        EXPECT_EQ(h.updater.deviceOpen(), recognised);
        if (recognised) {
            std::string t[4];
            h.updater.getDeviceInfo(t[0], t[1], t[2], t[3]);
            EXPECT_EQ(t[0] + "|" + t[1] + "|" + t[2] + "|" + t[3], c.texts);
        }
    }
}

TEST(Identification, FuzzSeedsKeepTheContracts) {
    struct Violation {
        const char* what;
    };
    fuzz::onViolation = [](const char* what) { throw Violation{what}; };
    std::size_t seeds = 0;
    for (const auto& seed : std::filesystem::directory_iterator(TAVIK_IDENTIFICATION_SEEDS)) {
        std::ifstream file(seed.path(), std::ios::binary);
        const std::vector<std::uint8_t> input(std::istreambuf_iterator<char>(file), {});
        try {
            LLVMFuzzerTestOneInput(input.data(), input.size());
        } catch (const Violation& broken) {
            ADD_FAILURE() << "seed " << seed.path().filename() << ": " << broken.what;
        }
        ++seeds;
    }
    fuzz::onViolation = fuzz::abortOnViolation;
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
