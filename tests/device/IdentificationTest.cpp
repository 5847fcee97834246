// Identification over the simulated unit's transport.
#include <gtest/gtest.h>

// Unit configurations are designated initializers that leave the other fields at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/Identification.hpp"
#include "sim/SimulatedUnit.hpp"
#include "support/EngineHarness.hpp"
#include "support/TestImages.hpp"

namespace tavik {
namespace {

using Bytes = std::vector<std::uint8_t>;
using sim::Fault;
using sim::RequestKind;
using enum Identification;

TEST(Identification, ProductsVersionsAndRejections) {
    const Bytes image = test::makeImage(300, "2.2.7+611"), blank;
    const Bytes oneBlock = test::makeImage(64, "1.2.1+1960"),
                shortReply(image.begin(), image.begin() + 63);
    Bytes noNul = test::makeImage(200, "");
    std::fill(noNul.begin() + 4, noNul.begin() + 64, 'x');
    noNul[64] = 0;  // the byte after the header is no part of the text
    const std::string full = "Tavik|T1X00001|", x60(60, 'x');
    constexpr auto none = RequestKind::other;
    const struct {
        std::uint16_t vendorId, productId;
        std::uint32_t descriptorLength;
        const Bytes& held;
        RequestKind stalls;  // the first request of this kind stalls
        Identification result;
        std::string texts;  // product|serial|version, untouched ("-|-|-") when not recognised
        const char* last;   // the last request made (see test::describe)
    } cases[] = {
        {0x07FD, 0x000D, 18, image, none, recognised, full + "2.2.7+611", "U0>64 "},
        {0x07FD, 0x001D, 18, image, none, recognised, full + "2.2.7+611", "U0>64 "},
        {0x07FD, 0x0009, 18, image, none, recognised, "Ta|T1X00001|XMOS", "string descriptor>18 "},
        {0x07FE, 0x001D, 18, image, none, notRecognised, "-|-|-", "device descriptor>18 "},
        {0x07FD, 0x0010, 18, image, none, notRecognised, "-|-|-", "device descriptor>18 "},
        {0x07FD, 0x001D, 17, image, none, descriptorError, "-|-|-", "device descriptor>17 "},
        {0x07FD, 0x001D, 18, image, RequestKind::deviceDescriptor, descriptorError, "-|-|-",
         "device descriptor! "},
        {0x07FD, 0x001D, 18, oneBlock, none, recognised, full + "1.2.1+1960", "U0>64 "},
        {0x07FD, 0x001D, 18, shortReply, none, recognised, full, "U0>63 "},
        {0x07FD, 0x001D, 18, blank, none, recognised, full, "U0>0 "},
        {0x07FD, 0x001D, 18, image, RequestKind::upload, recognised, full, "U0! "},
        {0x07FD, 0x001D, 18, noNul, none, recognised, full + x60, "U0>64 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << &c - cases);
        auto unit = sim::SimulatedUnit::create({.vendorId = c.vendorId,
                                                .productId = c.productId,
                                                .deviceDescriptorLength = c.descriptorLength,
                                                .image = c.held});
        if (c.stalls != none) {
            unit->addFault(Fault::stall, 0, c.stalls);
        }
        DeviceIdentity identity{"-", "-", "-"};
        EXPECT_EQ(identifyDevice(*unit->open(), unitVendorId, unitProductId,
                                 unitShortBranchProductId, unitProductIdLater, identity),
                  c.result);
        EXPECT_EQ(identity.product + "|" + identity.serial + "|" + identity.version, c.texts);
        const auto wire = unit->requests();
        EXPECT_EQ(wire.size(), c.result != recognised ? 1u : c.productId == 0x0009 ? 5u : 6u);
        EXPECT_EQ(test::describe(wire.back()), c.last);
    }
}

TEST(Identification, StringDescriptorsOfEveryLength) {
    const struct {
        std::optional<std::uint8_t> bLength;  // the true length when not given
        std::u16string text;
        int failingRead;  // 0: none, 1: the first, 2: the second
        std::string expected;
        std::size_t reads;
    } cases[] = {
        {0, u"ABCD", 0, "", 1},
        {std::nullopt, u"ABCD", 1, "", 1},
        {2, u"ABCD", 0, "", 2},
        {10, u"ABCDEFGH", 0, "ABCD", 2},
        {11, u"ABCDEFGH", 0, "ABCD", 2},  // an odd length drops its last byte
        // The count comes from the first read; what the second does not deliver is zero.
        {10, u"ABCDEFGH", 2, std::string(4, '\0'), 2},
        {12, u"AB", 0, std::string("AB\0\0\0", 5), 2},
        {std::nullopt, u"\u20AC\u0141x", 0, "\xAC\x41x", 2},  // high bytes are dropped
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << &c - cases);
        auto unit = sim::SimulatedUnit::create({.serial = c.text, .serialLength = c.bLength});
        if (c.failingRead != 0) {
            unit->addFault(Fault::stall, c.failingRead - 1, RequestKind::stringDescriptor);
        }
        EXPECT_EQ(getStringDescriptor(*unit->open(), 3), c.expected);
        const auto wire = unit->requests();
        ASSERT_EQ(wire.size(), c.reads);
        for (const sim::WireRequest& r : wire) {
            // Index 3 (the serial), type 3 (string), language 0x0409.
            EXPECT_EQ(Bytes(r.setup.begin() + 2, r.setup.begin() + 6), (Bytes{3, 3, 0x09, 0x04}));
        }
        EXPECT_EQ(wire[0].setup[6], 1) << "the first read asks for bLength alone";
        if (c.reads == 2) {
            EXPECT_EQ(wire[1].setup[6], c.bLength.value_or(2 + 2 * c.text.size()))
                << "the second read asks for bLength";
        }
    }
}

}  // namespace
}  // namespace tavik
