#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant: says which, and aborts, so that the fuzzer keeps the
// input as a finding.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #condition);           \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
