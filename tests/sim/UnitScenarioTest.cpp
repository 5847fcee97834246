// The scenario files of the end-to-end tests: a mistake in one must fail loudly, naming its line,
// rather than quietly give a unit other than the one the scenario describes.
#include <gtest/gtest.h>

#include <string>

#include "sim/UnitScenario.hpp"

namespace tavik::sim {
namespace {

UnitScenario parsed(const std::string& unitLines) {
    const UnitScenarioParse parse = parseUnitScenario("[unit]\n" + unitLines);
    EXPECT_EQ(parse.error, "");
    return parse.scenario;
}

TEST(UnitScenario, EverySettingReachesItsField) {
    const UnitScenario s = parsed(
        "# a comment\n"
        "interface secondary\n"
        "vendor-id 0x1234\n"
        "product-id 9\n"
        "product  Tavik Duo Mk 2 \n"
        "serial T6X00001\n"
        "descriptor-length 17\n"
        "image embedded 105 version 1.2.0+1900\n"
        "arrive 1500\n"
        "unplug 4000\n"
        "stall upload 3\n"
        "leave any 0x10\n"
        "status-reply 00 0a ff\n"
        "corrupt-block 7\n"
        "extra-bytes 64\n"
        "delay-us 250\n"
        "reboot-fails\n"
        "restart-ms 0\n"
        "path directory\n"
        "list-error 0x33\n"
        "no-access\n");
    EXPECT_EQ(s.interfaceClass, UnitScenario::Interface::secondary);
    EXPECT_EQ(s.unit.vendorId, 0x1234);
    EXPECT_EQ(s.unit.productId, 9);
    EXPECT_EQ(s.unit.product, u"Tavik Duo Mk 2");
    EXPECT_EQ(s.unit.serial, u"T6X00001");
    EXPECT_EQ(s.unit.deviceDescriptorLength, 17u);
    EXPECT_EQ(s.imageKind, UnitScenario::ImageKind::embedded);
    EXPECT_EQ(s.embeddedId, 105);
    EXPECT_EQ(s.versionText, "1.2.0+1900");
    EXPECT_FALSE(s.presentAtStart);
    ASSERT_EQ(s.events.size(), 2u);
    EXPECT_EQ(s.events[1].kind, UnitScenario::EventKind::unplug);
    EXPECT_EQ(s.events[1].at.count(), 4000);
    ASSERT_EQ(s.faults.size(), 2u);
    EXPECT_EQ(s.faults[0].fault, Fault::stall);
    EXPECT_EQ(s.faults[0].kind, RequestKind::upload);
    EXPECT_EQ(s.faults[0].k, 3u);
    EXPECT_EQ(s.faults[1].fault, Fault::leave);
    EXPECT_EQ(s.faults[1].kind, RequestKind::any);
    EXPECT_EQ(s.faults[1].k, 16u);
    EXPECT_EQ(s.statusReply, (std::vector<std::uint8_t>{0x00, 0x0A, 0xFF}));
    EXPECT_EQ(s.corruptBlocks, std::vector<std::uint16_t>{7});
    EXPECT_EQ(s.extraBytes, 64u);
    EXPECT_EQ(s.delay.count(), 250);
    EXPECT_TRUE(s.rebootFails);
    EXPECT_EQ(s.restartNotice.count(), 0);
    EXPECT_EQ(s.path, UnitScenario::PathKind::directory);
    EXPECT_EQ(s.listError, 0x33u);
    EXPECT_TRUE(s.noAccess);
}

TEST(UnitScenario, OnlyTheUnitSectionIsRead) {
    const UnitScenarioParse parse = parseUnitScenario(
        "serial ignored\n[run]\nclick 101\n[unit]\nserial T1X00001\n[run]\nwire upload\n");
    EXPECT_EQ(parse.error, "");
    EXPECT_EQ(parse.scenario.unit.serial, u"T1X00001");
    EXPECT_TRUE(parse.scenario.presentAtStart);
    EXPECT_EQ(parse.scenario.imageKind, UnitScenario::ImageKind::blank);
    EXPECT_FALSE(parse.scenario.noAccess);
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
        {"vanish upload", "line 3: vanish: expects a request kind and an index"},
        {"image embedded", "line 3: image: expects blank, embedded ID [version TEXT] or file NAME"},
        {"image embedded 103 1.2.3",
         "line 3: image: expects blank, embedded ID [version TEXT] or file NAME"},
        {"interface tertiary", "line 3: interface: expects one of primary secondary"},
        {"path", "line 3: path: expects one of file directory missing"},
        {"status-reply 00 100", "line 3: status-reply: expects hexadecimal bytes: 100"},
        {"status-reply 0g", "line 3: status-reply: expects hexadecimal bytes: 0g"},
        {"reboot-fails yes", "line 3: reboot-fails: takes no value"},
        {"no-access 1", "line 3: no-access: takes no value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(parseUnitScenario(std::string("[unit]\n\n") + c.line + "\nserial X\n").error,
                  c.error);
    }
}

TEST(UnitScenario, VersionTextReplacesTheHeaderField) {
    std::vector<std::uint8_t> image(100, 0xEE);
    setVersionText(image, "2.2.6+579");
    EXPECT_EQ(std::string(image.begin() + 4, image.begin() + 13), "2.2.6+579");
    EXPECT_EQ(std::count(image.begin() + 13, image.begin() + 64, 0), 51);
    EXPECT_EQ(image[3], 0xEE);
    EXPECT_EQ(image[64], 0xEE);
}

}  // namespace
}  // namespace tavik::sim
