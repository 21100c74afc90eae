#pragma once
// What every fuzz target stops on besides crashes and sanitizer reports: a promise of the code under
// test that an input broke, named on standard error, then an abort libFuzzer reports as a crash.
#include <cstdio>
#include <cstdlib>

namespace veltrane::fuzz {

inline void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "broken promise: %s\n", what);
        std::abort();
    }
}

} // namespace veltrane::fuzz
