#pragma once

#include <cstdio>
#include <cstdlib>

namespace tavik::fuzz {

// What a broken invariant does: report `what` and end the oracle's run, never returning.
using ViolationHandler = void (*)(const char* what);

// A fuzz target's: the run ends like a crash, with `what` on standard error, and libFuzzer keeps
// the input that broke it.
[[noreturn]] inline void abortOnViolation(const char* what) {
    std::fprintf(stderr, "INVARIANT VIOLATED: %s\n", what);
    std::abort();
}

// A native test that replays seeds through an oracle puts a handler that throws here, so that a
// broken invariant fails the test rather than the whole test program.
inline ViolationHandler onViolation = abortOnViolation;

// The oracle's one check.
inline void require(bool holds, const char* what) {
    if (!holds) {
        onViolation(what);
        std::abort();  // a handler that returned: the oracle must not go on past what broke
    }
}

}  // namespace tavik::fuzz
