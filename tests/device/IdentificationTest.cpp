#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/Identification.hpp"
#include "sim/SimulatedUnit.hpp"
#include "support/TestImages.hpp"
#include "support/Transcript.hpp"

namespace tavik {
namespace {

using sim::Fault;
using sim::RequestKind;
using sim::SimulatedUnit;
using sim::UnitConfig;

Identification identify(UsbTransport& device, DeviceIdentity& identity) {
    return identifyDevice(device, unitVendorId, unitProductId, unitShortBranchProductId,
                          unitProductIdLater, identity);
}

std::vector<std::string> describeAll(const SimulatedUnit& unit) {
    std::vector<std::string> out;
    for (const sim::WireRequest& r : unit.requests()) {
        out.push_back(test::describe(r));
    }
    return out;
}

TEST(Identification, RecognisesTheThreeProductsAndReadsWhatEachOffers) {
    struct Case {
        std::uint16_t productId;
        std::u16string product;
        std::string expectedProduct;
        std::string expectedVersion;
        bool versionRead;
    };
    const Case cases[] = {
        {0x000D, u"Tavik 8", "Tavik 8", "2.2.7+611", true},
        {0x001D, u"Tavik 8", "Tavik 8", "2.2.7+611", true},
        {0x0009, u"Tavik 8", "Ta", "XMOS", false},  // the short branch cuts the product
        {0x0009, u"T", "T", "XMOS", false},
        {0x0009, u"", "", "XMOS", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.productId);
        UnitConfig config;
        config.productId = c.productId;
        config.product = c.product;
        config.serial = u"T1A00042";
        config.image = test::makeImage(300, "2.2.7+611");
        auto unit = SimulatedUnit::create(config);
        auto device = unit->open();

        DeviceIdentity identity;
        EXPECT_EQ(identify(*device, identity), Identification::recognised);
        EXPECT_EQ(identity.product, c.expectedProduct);
        EXPECT_EQ(identity.serial, "T1A00042");
        EXPECT_EQ(identity.version, c.expectedVersion);

        std::vector<std::string> expected = {
            "device descriptor -> 18", "string descriptor 2 -> 1",
            "string descriptor 2 -> " + std::to_string(2 + 2 * c.product.size()),
            "string descriptor 3 -> 1", "string descriptor 3 -> 18"};
        if (c.product.empty()) {
            // bLength 2 still takes the second read, which gives no characters.
            expected[2] = "string descriptor 2 -> 2";
        }
        if (c.versionRead) {
            expected.push_back("DFU_UPLOAD 0 -> 64");
        }
        EXPECT_EQ(describeAll(*unit), expected);
        if (c.versionRead) {
            EXPECT_EQ(unit->requests().back().setup,
                      (std::array<std::uint8_t, 8>{0xA1, 0x02, 0, 0, 0, 0, 0x40, 0}));
        }
    }
}

TEST(Identification, RejectsOtherUnitsWithoutTouchingTheEarlierTexts) {
    struct Case {
        const char* what;
        std::uint16_t vendorId;
        std::uint16_t productId;
        std::uint32_t descriptorLength;
        bool descriptorReadFails;
        Identification expected;
    };
    const Case cases[] = {
        {"another vendor", 0x07FE, 0x001D, 18, false, Identification::notRecognised},
        {"another product", 0x07FD, 0x0010, 18, false, Identification::notRecognised},
        {"a descriptor of 17 bytes", 0x07FD, 0x001D, 17, false, Identification::descriptorError},
        {"a failing descriptor read", 0x07FD, 0x001D, 18, true, Identification::descriptorError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UnitConfig config;
        config.vendorId = c.vendorId;
        config.productId = c.productId;
        config.deviceDescriptorLength = c.descriptorLength;
        auto unit = SimulatedUnit::create(config);
        if (c.descriptorReadFails) {
            unit->addFault(Fault::stall, 0, RequestKind::deviceDescriptor);
        }
        auto device = unit->open();
        DeviceIdentity identity{"earlier product", "earlier serial", "1.0.0+1"};
        EXPECT_EQ(identify(*device, identity), c.expected);
        EXPECT_EQ(identity.product, "earlier product");
        EXPECT_EQ(identity.serial, "earlier serial");
        EXPECT_EQ(identity.version, "1.0.0+1");
        EXPECT_EQ(unit->requestCount(), 1u) << "nothing asked beyond the device descriptor";
    }
}

TEST(Identification, StringDescriptorsOfEveryLength) {
    struct Case {
        const char* what;
        std::optional<std::uint8_t> bLength;
        std::u16string text;
        bool firstReadFails;
        bool secondReadFails;
        std::string expected;
        std::size_t reads;
    };
    const Case cases[] = {
        {"bLength 0", 0, u"ABCD", false, false, "", 1},
        {"a failing first read", std::nullopt, u"ABCD", true, false, "", 1},
        {"bLength 2", 2, u"ABCD", false, false, "", 2},
        {"bLength 3", 3, u"ABCD", false, false, "", 2},
        {"bLength 10", 10, u"ABCDEFGH", false, false, "ABCD", 2},
        {"odd bLength 11 drops its last byte", 11, u"ABCDEFGH", false, false, "ABCD", 2},
        {"true length", std::nullopt, u"T1A00042", false, false, "T1A00042", 2},
        // The count comes from the first read; what the second does not deliver is zero.
        {"a failing second read", 10, u"ABCDEFGH", false, true, std::string(4, '\0'), 2},
        {"a descriptor longer than it delivers", 12, u"AB", false, false,
         std::string("AB\0\0\0", 5), 2},
        {"high bytes are dropped", std::nullopt, u"\u20AC\u0141x", false, false, "\xAC\x41x", 2},
        {"a code unit with low byte 0 gives a NUL", std::nullopt, u"A\u0100B", false, false,
         std::string("A\0B", 3), 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UnitConfig config;
        config.serial = c.text;
        config.serialLength = c.bLength;
        auto unit = SimulatedUnit::create(config);
        if (c.firstReadFails) {
            unit->addFault(Fault::stall, 0, RequestKind::stringDescriptor);
        }
        if (c.secondReadFails) {
            unit->addFault(Fault::fail, 1, RequestKind::stringDescriptor);
        }
        auto device = unit->open();
        EXPECT_EQ(getStringDescriptor(*device, config.serialIndex), c.expected);
        const auto wire = unit->requests();
        ASSERT_EQ(wire.size(), c.reads);
        for (const sim::WireRequest& r : wire) {
            EXPECT_EQ(r.setup[2], config.serialIndex);
            EXPECT_EQ(r.setup[3], 3) << "string descriptor";
            EXPECT_EQ(r.setup[4] | r.setup[5] << 8, 0x0409);
        }
        EXPECT_EQ(wire[0].setup[6], 1) << "the first read asks for bLength alone";
        if (c.reads == 2) {
            EXPECT_EQ(wire[1].setup[6], c.bLength.value_or(2 + 2 * c.text.size()))
                << "the second read asks for bLength";
        }
    }
}

TEST(Identification, VersionComesFromAWholeVersionReplyOnly) {
    std::vector<std::uint8_t> noNul = test::makeImage(200, "");
    std::fill(noNul.begin() + 4, noNul.begin() + 64, 'x');
    noNul[64] = 0;  // the byte after the header is no part of the text

    struct Case {
        const char* what;
        std::vector<std::uint8_t> image;
        bool versionReadFails;
        std::string expected;
    };
    const Case cases[] = {
        {"a padded version", test::makeImage(200, "1.2.4+930"), false, "1.2.4+930"},
        {"exactly one block", test::makeImage(64, "1.2.1+1960"), false, "1.2.1+1960"},
        {"a short reply", test::makeImage(63, "1.2.4+930"), false, ""},
        {"a blank unit", {}, false, ""},
        {"a failing read", test::makeImage(200, "1.2.4+930"), true, ""},
        {"no NUL in bytes 4..63", noNul, false, std::string(60, 'x')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UnitConfig config;
        config.image = c.image;
        auto unit = SimulatedUnit::create(config);
        if (c.versionReadFails) {
            unit->addFault(Fault::stall, 0, RequestKind::upload);
        }
        auto device = unit->open();
        DeviceIdentity identity{"", "", "stale"};
        EXPECT_EQ(identify(*device, identity), Identification::recognised);
        EXPECT_EQ(identity.version, c.expected);
    }
}

}  // namespace
}  // namespace tavik
