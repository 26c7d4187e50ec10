// The process's one pseudo-random sequence: every caller in the system draws
// from it (no other generator in the library code), so a test that fixes the
// seed with SetRandSeed gets the same numbers on every run. Unless seeded,
// the sequence starts from the clocks and the process id at its first use,
// so that two processes draw different numbers. Not for secrets: the
// sequence is predictable from its seed.
//
// The generator is a 32-bit linear congruential sequence (seed * 134775813 + 1);
// Random(range) scales the new seed by `range` and keeps the high 32 bits, so
// a given seed yields the same values on every machine. Thread-safe.
#pragma once

#include <cstdint>

namespace os {

// Seeds the sequence from the wall clock, the monotonic clock and the process id.
void Randomize();

// Fixes the seed, for tests and reproducible runs.
void SetRandSeed(uint32_t seed);

// A value in [0, range); 0 when range <= 0.
int Random(int range);

// A value in [0, 1).
double Random();

}  // namespace os
