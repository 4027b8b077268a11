#pragma once
// A property a fuzz target checks: when it does not hold, the input is
// printed and the run aborts, so libFuzzer keeps it as a crash artifact.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                \
    do {                                                                                \
        if (!(cond)) {                                                                  \
            fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                    \
        }                                                                               \
    } while (0)
