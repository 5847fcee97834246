// Identification in the native presets: the seeds of the fuzz-identification target replayed
// through its oracle (tests/fuzz/IdentificationFuzz.cpp). Each seed is a unit's replies, named for
// what it is: a unit of each product id, another vendor's units (products 0x000D and 0x0009),
// another product of ours, a stalled device descriptor, version replies short, whole and without a
// NUL. A broken contract aborts the run with "INVARIANT VIOLATED: ..." after the seed's name.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

TEST(Identification, FuzzSeedsKeepTheContracts) {
    std::size_t seeds = 0;
    for (const auto& seed : std::filesystem::directory_iterator(TAVIK_IDENTIFICATION_SEEDS)) {
        std::fprintf(stderr, "seed %s\n", seed.path().filename().c_str());
        std::ifstream file(seed.path(), std::ios::binary);
        const std::vector<std::uint8_t> input(std::istreambuf_iterator<char>(file), {});
        LLVMFuzzerTestOneInput(input.data(), input.size());
        ++seeds;
    }
    EXPECT_EQ(seeds, 8u);
}

}  // namespace
