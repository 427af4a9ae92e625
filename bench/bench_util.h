// What the benchmarks share: a clock and reproducible pseudo-random bytes.
#pragma once

#include <chrono>
#include <cstdint>

// Seconds on a monotonic clock; only differences mean anything.
inline double bench_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

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
