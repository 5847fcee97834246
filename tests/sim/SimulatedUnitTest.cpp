// The simulated unit and the scenario files that describe one. The unit's answer to protocol
// errors, which no run of the program makes; the scenarios of the end-to-end tests: a mistake in
// one fails loudly, naming its line, and the unit made from one starts with the image and
// misbehaviours the file names, or a run tests some other unit than its scenario says.
#include <gtest/gtest.h>

// Unit configurations are designated initializers that leave the other fields at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "firmware/FirmwareImage.hpp"
#include "sim/ScenarioUnit.hpp"
#include "sim/SimulatedUnit.hpp"
#include "sim/UnitScenario.hpp"
#include "support/TestImages.hpp"

namespace tavik::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

ScenarioUnit made(const std::string& unitLines) {
    const UnitScenarioParse parse = parseUnitScenario("[unit]\n" + unitLines);
    EXPECT_EQ(parse.error, "");
    return makeScenarioUnit(parse.scenario, [](const std::string& name, Bytes& bytes) {
        if (name != "stored.bin") {
            return false;
        }
        bytes = {1, 2, 3};
        return true;
    });
}

Bytes embedded(int id) {
    return test::bytesOf(loadFirmwareImage(id));
}

bool request(UsbTransport& t, std::uint8_t type, std::uint8_t request, std::uint16_t value,
             Bytes& data) {
    std::uint32_t n = 0;
    const bool ok =
        t.controlTransfer({type, request, value, 0, static_cast<std::uint16_t>(data.size())},
                          data.data(), static_cast<std::uint32_t>(data.size()), n)
            .ok();
    data.resize(n);
    return ok;
}

TEST(SimulatedUnit, ProtocolErrorsStallIntoDfuError) {
    const std::vector<std::vector<std::pair<std::uint16_t, std::uint16_t>>> downloads = {
        {{0, 64}, {2, 64}},  // a block out of sequence
        {{0, 0}},            // the empty chunk with nothing before it
        {{0, 64}, {5, 0}},   // the empty chunk with a wrong block number
        {{1, 64}},           // a download that does not start at block 0
    };
    for (const auto& chunks : downloads) {
        SCOPED_TRACE(&chunks - downloads.data());
        const Bytes image = test::makeImage(200, "1.0.0+1");
        auto unit = SimulatedUnit::create({.image = image});
        auto t = unit->open();
        bool last = true;
        for (auto [block, length] : chunks) {
            Bytes chunk(length, 0x55);
            last = request(*t, 0x21, 0x01, block, chunk);
        }
        EXPECT_FALSE(last);
        EXPECT_EQ(unit->image(), image);
        Bytes status(6), upload(64);
        request(*t, 0xA1, 0x03, 0, status);
        EXPECT_EQ(status, (Bytes{statusErrStalledPacket, 0, 0, 0, dfuError, 0}));
        EXPECT_FALSE(request(*t, 0xA1, 0x02, 0, upload)) << "nothing is read back until cleared";
    }
}

TEST(ScenarioUnit, StartsWithTheImageNamed) {
    Bytes versioned = embedded(104);
    setVersionText(versioned, "1.2.4+887");
    const struct {
        const char* line;
        Bytes image;
        std::string error;
    } cases[] = {
        {"image blank", {}, ""},
        {"image embedded 103", embedded(103), ""},
        {"image embedded 104 version 1.2.4+887", versioned, ""},
        {"image file stored.bin", {1, 2, 3}, ""},
        {"image file missing.bin", {}, "cannot read image file missing.bin"},
        {"image embedded 106", {}, "the program carries no image 106"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const ScenarioUnit s = made(std::string(c.line) + "\n");
        EXPECT_EQ(s.error, c.error);
        ASSERT_EQ(s.unit == nullptr, !c.error.empty());
        if (s.unit) {
            EXPECT_EQ(s.unit->image(), c.image);
        }
    }
}

// The misbehaviours no in-process command-line run reaches (those runs play stalls, a wrong status
// and a corrupt block from scenario lines).
TEST(ScenarioUnit, ArrivesLaterWithExtraBytesAndAFailingRestart) {
    const ScenarioUnit s = made("image embedded 103\narrive 100\nextra-bytes 64\nreboot-fails\n");
    ASSERT_NE(s.unit, nullptr);
    EXPECT_FALSE(s.unit->present()) << "it arrives later";
    s.unit->attach();
    auto t = s.unit->open();
    ASSERT_NE(t, nullptr);
    Bytes readBack, block(64);
    for (std::uint16_t n = 0; block.size() == 64; ++n) {
        block.resize(64);
        ASSERT_TRUE(request(*t, 0xA1, 0x02, n, block));
        readBack.insert(readBack.end(), block.begin(), block.end());
    }
    EXPECT_EQ(readBack.size(), embedded(103).size() + 64)
        << "the read-back carries the extra bytes";
    Bytes none;
    EXPECT_FALSE(request(*t, 0x21, 0xF0, 0, none)) << "the restart's transfer fails";
    EXPECT_TRUE(s.unit->runningApplication());
}

// The settings no native run reads (the Windows end-to-end runs do; the command line's in-process
// runs, the Linux end-to-end runs and the tests above read the others) reach their fields; only
// the [unit] section is read.
TEST(UnitScenario, SettingsReachTheirFields) {
    const UnitScenarioParse parse = parseUnitScenario(
        "serial ignored\n[run]\nclick 101\n[unit]\n"
        "# a comment\n"
        "interface secondary\n"
        "vendor-id 0x1234\n"
        "descriptor-length 17\n"
        "leave any 0x10\n"
        "delay-us 250\n"
        "path directory\n"
        "list-error 0x33\n"
        "[run]\nwire upload\n");
    ASSERT_EQ(parse.error, "");
    const UnitScenario& s = parse.scenario;
    EXPECT_EQ(s.unit.serial, u"T1X00001");
    EXPECT_EQ(s.interfaceClass, UnitScenario::Interface::secondary);
    EXPECT_EQ(s.unit.vendorId, 0x1234);
    EXPECT_EQ(s.unit.deviceDescriptorLength, 17u);
    ASSERT_EQ(s.faults.size(), 1u);
    EXPECT_EQ(s.faults[0].fault, Fault::leave);
    EXPECT_EQ(s.faults[0].kind, RequestKind::any);
    EXPECT_EQ(s.faults[0].k, 16u);
    EXPECT_EQ(s.delay.count(), 250);
    EXPECT_EQ(s.path, UnitScenario::PathKind::directory);
    EXPECT_EQ(s.listError, 0x33u);
}

TEST(UnitScenario, MistakesNameTheirLine) {
    struct Case {
        const char* line;
        const char* error;
    };
    const Case cases[] = {
        {"colour red", "line 3: colour: unknown setting"},
        {"vendor-id 0x10000", "line 3: vendor-id: not a number up to 65535: 0x10000"},
        {"product-id 12ab", "line 3: product-id: not a number up to 65535: 12ab"},
        {"delay-us", "line 3: delay-us: expects one number"},
        {"stall uplaod 3", "line 3: stall: expects a request kind and an index"},
        {"image embedded 103 1.2.3",
         "line 3: image: expects blank, embedded ID [version TEXT] or file NAME"},
        {"interface tertiary", "line 3: interface: expects one of primary secondary"},
        {"status-reply 00 100", "line 3: status-reply: expects hexadecimal bytes: 100"},
        {"reboot-fails yes", "line 3: reboot-fails: takes no value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(parseUnitScenario(std::string("[unit]\n\n") + c.line + "\nserial X\n").error,
                  c.error);
    }
}

}  // namespace
}  // namespace tavik::sim
