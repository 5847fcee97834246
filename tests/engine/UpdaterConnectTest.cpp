#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/EngineHarness.hpp"
#include "support/TestImages.hpp"

namespace tavik {
namespace {

using Lines = std::vector<std::string>;
using sim::Fault;
using sim::RequestKind;
using test::EngineHarness;

constexpr const char* noUnitText = "No Tavik in update mode. Hold MON on IN 2 and power on device.";

TEST(UpdaterConnect, FailuresEndInTheNoUnitStateWithTheirLine) {
    using Configure = std::function<void(sim::UnitConfig&)>;
    using Arrange = std::function<void(EngineHarness&)>;
    const Configure asIs = [](sim::UnitConfig&) {};
    const Arrange nothing = [](EngineHarness&) {};
    struct Case {
        const char* what;
        Configure configure;
        Arrange arrange;
        Lines lines;
    };
    const Case cases[] = {
        {"no unit",
         asIs,
         [](EngineHarness& h) { h.unit->detach(); },
         {"Device not connected or driver not installed\n"}},
        {"access denied",
         asIs,
         [](EngineHarness& h) { h.devices.failOpens(hrAccessDenied, false); },
         {"Failed looking for device, HRESULT 0x80070005\n"}},
        {"a path cut short",
         asIs,
         [](EngineHarness& h) { h.devices.failOpens(hrInsufficientBuffer, false); },
         {"Failed looking for device, HRESULT 0x8007007a\n"}},
        {"a descriptor of 17 bytes",
         [](sim::UnitConfig& c) { c.deviceDescriptorLength = 17; },
         nothing,
         {"Error getting descriptor\n"}},
        {"a failing descriptor read",
         asIs,
         [](EngineHarness& h) { h.unit->addFault(Fault::stall, 0, RequestKind::deviceDescriptor); },
         {"Error getting descriptor\n"}},
        {"another vendor", [](sim::UnitConfig& c) { c.vendorId = 0x07FE; }, nothing, {}},
        {"another product", [](sim::UnitConfig& c) { c.productId = 0x0010; }, nothing, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::UnitConfig config;
        c.configure(config);
        EngineHarness h(config);
        c.arrange(h);
        h.create();
        EXPECT_EQ(h.log.lines(), c.lines);
        EXPECT_FALSE(h.updater.deviceOpen());
        EXPECT_EQ(h.unit->openHandles(), 0u) << "whatever was opened is closed again";
        EXPECT_EQ(h.window.statusText(), noUnitText);
        EXPECT_EQ(h.window.actionButton(), nullptr);
    }
}

TEST(UpdaterConnect, IdentifiedUnitReachesTheWindow) {
    sim::UnitConfig config;
    config.product = u"Tavik 8";
    config.serial = u"T1A00042";
    config.image = test::makeImage(200, "1.2.4+888");
    EngineHarness h(config);
    h.create();
    ASSERT_TRUE(h.updater.deviceOpen());
    EXPECT_TRUE(h.log.lines().empty());
    EXPECT_EQ(h.window.statusText(),
              "Device Connected: Tavik 8 (Serial: T1A00042, Firmware Version: 2.03)");
    EXPECT_EQ(h.window.messageText(), "Update to 2.04");
    EXPECT_EQ(h.updater.getBlockCount(), (353356u + 63) / 64) << "the window chose image 104";

    // A second arrival while the unit is open changes nothing and asks nothing.
    const std::size_t requests = h.unit->requestCount();
    h.window.onDeviceArrival();
    EXPECT_EQ(h.devices.openCount(), 1);
    EXPECT_EQ(h.unit->requestCount(), requests);
    EXPECT_TRUE(h.log.lines().empty());
    EXPECT_EQ(h.unit->openHandles(), 1u);

    h.window.onClose();
    EXPECT_EQ(h.unit->openHandles(), 0u);
    EXPECT_EQ(h.window.statusText(), noUnitText);
}

TEST(UpdaterConnect, BuildIsTheVersionAfterItsFirstPlus) {
    struct Case {
        const char* version;
        const char* build;
    };
    const Case cases[] = {{"2.2.7+611", "611"}, {"1.2.1+1960", "1960"}, {"1+2+3", "2+3"},
                          {"1.0.0+", ""},       {"1.0.0", ""},          {"", ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        sim::UnitConfig config;
        config.image = test::makeImage(64, c.version);
        EngineHarness h(config);
        h.create();
        std::string product = "x", serial = "x", version = "x", build = "x";
        h.updater.getDeviceInfo(product, serial, version, build);
        EXPECT_EQ(product, "Tavik");
        EXPECT_EQ(serial, "T1X00001");
        EXPECT_EQ(version, c.version);
        EXPECT_EQ(build, c.build);
    }
}

}  // namespace
}  // namespace tavik
