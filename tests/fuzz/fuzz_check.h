// FUZZ_CHECK: a promise of the code under fuzzing. A broken one prints where
// and aborts, which libFuzzer reports with the input that broke it (and the
// replay program with the input in hex).
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)
