// Fuzz target: the catalogue's choice of image and the display version over arbitrary serial and
// version texts.
//
// Input: the serial, a 0xFF byte, then the version text (the serial alone when there is no 0xFF).
// The build text is what follows the version's first "+", as the engine hands it to the window.
// Oracle: the serial rules choose the entry; the build conversion agrees with the C library's
// strtoll; a display version is "2.XX" or that of the entry's range holding the build.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include "firmware/FirmwareCatalog.hpp"
#include "fuzz/Invariant.hpp"

using namespace tavik;
using namespace tavik::fuzz;

namespace {

// parseBuildNumber against strtoll, which reads a C string: the text up to its first NUL, which
// parseBuildNumber also stops at (a NUL is neither white space, sign nor digit).
void checkBuildNumber(std::string_view build) {
    const std::string text(build.substr(0, build.find('\0')));
    errno = 0;
    char* end = nullptr;
    const long long reference = std::strtoll(text.c_str(), &end, 10);
    const bool digits = std::any_of(text.c_str(), static_cast<const char*>(end),
                                    [](char c) { return c >= '0' && c <= '9'; });
    const bool fits = digits && errno != ERANGE &&
                      reference >= std::numeric_limits<std::int32_t>::min() &&
                      reference <= std::numeric_limits<std::int32_t>::max();
    std::int32_t value = 0;
    require(parseBuildNumber(build, value) == fits, "a build number parses as strtoll's does");
    require(!fits || value == reference, "a build number has strtoll's value");
}

void checkDisplayVersion(const FirmwareEntry& entry, std::string_view build) {
    const std::string display = currentDisplayVersion(entry, build);
    if (display == unknownDisplayVersion) {
        return;
    }
    std::int32_t number = 0;
    require(parseBuildNumber(build, number), "a display version comes from a build number");
    require(std::any_of(entry.buildDisplays.begin(), entry.buildDisplays.end(),
                        [&](const BuildDisplay& r) {
                            return r.display == display && number >= r.firstBuild &&
                                   number <= r.lastBuild;
                        }),
            "a display version is that of the range holding the build");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t separator = std::min(input.find('\xFF'), input.size());
    const std::string_view serial = input.substr(0, separator);
    const std::string_view version = input.substr(std::min(separator + 1, input.size()));
    const std::size_t plus = version.find('+');
    const std::string_view build = plus == std::string_view::npos ? "" : version.substr(plus + 1);

    const FirmwareEntry& chosen = selectFirmwareEntry(serial);
    const std::size_t expected = serial.size() > 1 && serial[1] == '6'   ? 0
                                 : serial.size() > 2 && serial[2] == 'A' ? 1
                                                                         : 2;
    require(&chosen == &firmwareCatalog[expected], "the serial rules choose the entry");

    checkBuildNumber(build);
    checkBuildNumber(version);
    for (const FirmwareEntry& entry : firmwareCatalog) {
        checkDisplayVersion(entry, build);
    }
    return 0;
}
