// The unit a scenario file describes: the image it starts with and each misbehaviour must be the
// ones the file names, or an end-to-end run tests some other unit than its scenario says.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "firmware/FirmwareImage.hpp"
#include "sim/ScenarioUnit.hpp"
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
                          data.data(), static_cast<std::uint32_t>(data.size()), n);
    data.resize(n);
    return ok;
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

}  // namespace
}  // namespace tavik::sim
