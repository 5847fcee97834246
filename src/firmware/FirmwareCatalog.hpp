#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tavik {

// Firmware builds firstBuild..lastBuild (inclusive) are shown to the user as `display`.
struct BuildDisplay {
    std::int32_t firstBuild;
    std::int32_t lastBuild;
    std::string_view display;
};

// One row of the catalogue: the image for a family of units and how versions are shown.
struct FirmwareEntry {
    int resourceId;                               // image storage id (103, 104 or 105)
    std::string_view targetVersion;               // the versionText held by that image's header
    std::string_view targetDisplayVersion;        // what the image makes of the unit, e.g. "2.07"
    std::span<const BuildDisplay> buildDisplays;  // non-overlapping ranges, possibly none
};

// The three entries in the order their serial rules are tried.
extern const std::array<FirmwareEntry, 3> firmwareCatalog;

// Shown when a unit's build number maps to no display version.
inline constexpr std::string_view unknownDisplayVersion = "2.XX";

// The entry for a unit's serial number: "6" at index 1 selects the first entry, else "A" at
// index 2 the second, else the third. Exact byte comparisons; a serial too short to hold the
// character a rule looks at simply fails that rule.
const FirmwareEntry& selectFirmwareEntry(std::string_view serial);

// The display version of the firmware a unit runs, from the build text that follows the first
// "+" of its version text. Every failure to map it gives "2.XX" and nothing else.
std::string currentDisplayVersion(const FirmwareEntry& entry, std::string_view build);

// Base-10 conversion of a build text: leading white space, one optional sign, then digits up to
// the first other character. False when there is no digit or the value leaves the signed
// 32-bit range.
bool parseBuildNumber(std::string_view text, std::int32_t& value);

}  // namespace tavik
