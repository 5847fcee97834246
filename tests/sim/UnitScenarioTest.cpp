// The scenario files of the end-to-end tests: a mistake in one must fail loudly, naming its line,
// rather than quietly give a unit other than the one the scenario describes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/UnitScenario.hpp"

namespace tavik::sim {
namespace {

// The settings no native run reads (the Windows end-to-end runs do, and the others are read by
// the command line's in-process runs, the Linux end-to-end runs and ScenarioUnitTest) reach their
// fields; only the [unit] section is read.
TEST(UnitScenario, SettingsReachTheirFields) {
    const UnitScenarioParse parse = parseUnitScenario(
        "serial ignored\n[run]\nclick 101\n[unit]\n"
        "# a comment\n"
        "interface secondary\n"
        "vendor-id 0x1234\n"
        "descriptor-length 17\n"
        "leave any 0x10\n"
        "status-reply 00 0a ff\n"
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
    EXPECT_EQ(s.statusReply, (std::vector<std::uint8_t>{0x00, 0x0A, 0xFF}));
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
