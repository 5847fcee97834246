// Build-time guard: checks every firmware image file against the catalogue before it is embedded.
// Usage: check_firmware_images ID=FILE [ID=FILE ...]; exits 1 and names every problem otherwise.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "firmware/FirmwareImageCheck.hpp"

int main(int argc, char** argv) {
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto eq = arg.find('=');
        if (eq == std::string::npos) {
            std::fprintf(stderr, "usage: %s ID=FILE [ID=FILE ...]\n", argv[0]);
            return 2;
        }
        const int id = std::atoi(arg.substr(0, eq).c_str());
        const std::string path = arg.substr(eq + 1);
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "firmware image %d: cannot read %s\n", id, path.c_str());
            ++failures;
            continue;
        }
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        for (const std::string& problem : tavik::checkFirmwareImage(id, bytes)) {
            std::fprintf(stderr, "firmware image %d (%s): %s\n", id, path.c_str(), problem.c_str());
            ++failures;
        }
    }
    if (failures != 0) {
        std::fprintf(stderr, "FIRMWARE IMAGE CHECK FAILED: %d problem(s)\n", failures);
        return 1;
    }
    std::printf("firmware images: %d checked, all sound\n", argc - 1);
    return 0;
}
