// The simulator's random numbers: splitmix64, so that one seed always gives
// the same bus on every platform (std::mt19937's distributions are not
// portable between standard libraries).
#pragma once

#include <cstdint>

struct SimRng {
  uint64_t state;  // advances by the golden-ratio constant per draw
};

inline void sim_rng_seed(SimRng* r, uint64_t seed) { r->state = seed; }

inline uint64_t sim_rng_next(SimRng* r) {
  uint64_t z = (r->state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// A number in [0, n); 0 when n is 0.
inline uint32_t sim_rng_below(SimRng* r, uint32_t n) {
  return n ? (uint32_t)(((sim_rng_next(r) >> 32) * (uint64_t)n) >> 32) : 0;
}

// A number in [lo, hi].
inline uint32_t sim_rng_range(SimRng* r, uint32_t lo, uint32_t hi) {
  return lo + sim_rng_below(r, hi - lo + 1);
}

// True with probability num/den.
inline bool sim_rng_chance(SimRng* r, uint32_t num, uint32_t den) { return sim_rng_below(r, den) < num; }
