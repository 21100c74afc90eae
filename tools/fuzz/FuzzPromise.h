#pragma once
// What every fuzz target stops on besides crashes and sanitizer reports: a result that breaks what
// the code under test promises.
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
