#pragma once

#include <cstdio>
#include <cstdlib>

namespace tavik::fuzz {

// The oracle of a fuzz target: a broken invariant ends the run like a crash, with `what` on
// standard error, and libFuzzer keeps the input that broke it.
inline void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "INVARIANT VIOLATED: %s\n", what);
        std::abort();
    }
}

}  // namespace tavik::fuzz
