#pragma once

#include <cstdio>
#include <cstdlib>

// A property that every input must keep. A broken one ends the program as a crash does, so that the
// fuzzer keeps the input and its replay fails on it.
inline void fuzzCheck(bool holds, const char* property)
{
    if (holds)
        return;
    std::fprintf(stderr, "fuzz check failed: %s\n", property);
    std::abort();
}
