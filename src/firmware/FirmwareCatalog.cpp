#include "firmware/FirmwareCatalog.hpp"

#include <limits>

namespace tavik {

namespace {

constexpr BuildDisplay entry104Builds[] = {
    {887, 887, "2.02"},
    {888, 888, "2.03"},
};

constexpr BuildDisplay entry103Builds[] = {
    {540, 563, "2.01"}, {564, 564, "2.02"}, {571, 571, "2.03"},
    {579, 579, "2.04"}, {597, 597, "2.05"}, {607, 607, "2.06"},
};

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

const std::array<FirmwareEntry, 3> firmwareCatalog = {{
    {105, "1.2.1+1960", "2.01", {}},
    {104, "1.2.4+930", "2.04", entry104Builds},
    {103, "2.2.7+611", "2.07", entry103Builds},
}};

const FirmwareEntry& selectFirmwareEntry(std::string_view serial) {
    if (serial.size() > 1 && serial[1] == '6') {
        return firmwareCatalog[0];
    }
    if (serial.size() > 2 && serial[2] == 'A') {
        return firmwareCatalog[1];
    }
    return firmwareCatalog[2];
}

bool parseBuildNumber(std::string_view text, std::int32_t& value) {
    std::size_t i = 0;
    while (i < text.size() && isSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t firstDigit = i;
    // Accumulate the magnitude in 64 bits and stop as soon as it cannot fit 32 any more, so that
    // any number of digits is handled without overflow.
    constexpr std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    bool outOfRange = false;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (!outOfRange) {
            magnitude = magnitude * 10 + (text[i] - '0');
            outOfRange = magnitude > limit;
        }
        ++i;
    }
    if (i == firstDigit || outOfRange) {
        return false;
    }
    const std::int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue > std::numeric_limits<std::int32_t>::max()) {
        return false;
    }
    value = static_cast<std::int32_t>(signedValue);
    return true;
}

std::string currentDisplayVersion(const FirmwareEntry& entry, std::string_view build) {
    if (entry.buildDisplays.empty() || build.empty()) {
        return std::string(unknownDisplayVersion);
    }
    std::int32_t number = 0;
    if (!parseBuildNumber(build, number)) {
        return std::string(unknownDisplayVersion);
    }
    for (const BuildDisplay& range : entry.buildDisplays) {
        if (number >= range.firstBuild && number <= range.lastBuild) {
            return std::string(range.display);
        }
    }
    return std::string(unknownDisplayVersion);
}

}  // namespace tavik
