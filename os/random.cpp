#include "os/random.h"

#include <time.h>
#include <unistd.h>

#include <mutex>

namespace os {
namespace {

std::mutex g_mutex;
uint32_t g_seed = 0;
bool g_seeded = false;

uint32_t FreshSeed();

// Under g_mutex. A sequence nobody seeded starts from the clocks, so that
// processes do not all draw the same numbers (retry delays that must differ).
uint32_t NextSeed() {
  if (!g_seeded) {
    g_seed = FreshSeed();
    g_seeded = true;
  }
  g_seed = g_seed * 134775813u + 1u;
  return g_seed;
}

// Spreads the bits of the clock readings over the whole word, so that two
// processes started in the same millisecond still get different seeds.
uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

uint32_t FreshSeed() {
  timespec real{}, mono{};
  clock_gettime(CLOCK_REALTIME, &real);
  clock_gettime(CLOCK_MONOTONIC, &mono);
  uint64_t x =
      Mix(static_cast<uint64_t>(real.tv_sec) * 1000000000ull + static_cast<uint64_t>(real.tv_nsec));
  x = Mix(x ^ (static_cast<uint64_t>(mono.tv_sec) * 1000000000ull +
               static_cast<uint64_t>(mono.tv_nsec)));
  x = Mix(x ^ static_cast<uint64_t>(getpid()));
  return static_cast<uint32_t>(x ^ (x >> 32));
}

}  // namespace

void Randomize() {
  const uint32_t seed = FreshSeed();
  std::lock_guard<std::mutex> lock(g_mutex);
  g_seed = seed;
  g_seeded = true;
}

void SetRandSeed(uint32_t seed) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_seed = seed;
  g_seeded = true;
}

int Random(int range) {
  if (range <= 0) return 0;
  std::lock_guard<std::mutex> lock(g_mutex);
  return static_cast<int>((uint64_t{NextSeed()} * static_cast<uint32_t>(range)) >> 32);
}

double Random() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return NextSeed() * (1.0 / 4294967296.0);
}

}  // namespace os
