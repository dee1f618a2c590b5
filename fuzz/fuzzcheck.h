// Invariant checks for the fuzz targets: they stay on in optimised builds
// (unlike assert) and stop at the first broken one, so libFuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                          \
    do {                                                                                          \
        if (!(cond)) {                                                                            \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond);    \
            std::abort();                                                                         \
        }                                                                                         \
    } while (0)
