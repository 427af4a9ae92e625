// What the benchmarks share: a clock and reproducible pseudo-random bytes.
#pragma once

#include <cstdint>

#include "base/clock.h"

// xorshift64: the same sequence on every machine for a given seed.
struct BenchRandom {
  uint64_t state;
  uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
};

// Fills `size` bytes at `data` with the sequence of `seed`.
inline void bench_fill_random(unsigned char* data, uint64_t size, uint64_t seed) {
  BenchRandom random{seed};
  for (uint64_t i = 0; i < size; i++) data[i] = static_cast<unsigned char>(random.next());
}
