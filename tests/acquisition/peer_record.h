// The packets of the two-process tests: length and bytes follow from
// (seed, sequence number), so writer and reader agree without talking.
#pragma once

#include <cstdint>

// Fills `out` (room for 4,092 bytes) with packet `i` of stream `seed`;
// returns its length (1 to 600, now and then the largest, 4,092).
inline uint32_t peer_packet(uint32_t seed, uint64_t i, uint8_t* out) {
  uint64_t x = (i + 1) * 0x9E3779B97F4A7C15ull ^ ((uint64_t)seed << 32 | seed);
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  uint32_t len = (i % 997 == 0) ? 4092u : (uint32_t)(x % 600u) + 1u;
  for (uint32_t k = 0; k < len; ++k) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    out[k] = (uint8_t)(x >> 56);
  }
  return len;
}
