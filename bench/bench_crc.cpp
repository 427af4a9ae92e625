// compute_crc throughput against a plain byte-at-a-time table loop over the
// same 256 MiB buffer, in the same run. Prints GiB/s for both and the ratio.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/bench_util.h"
#include "patch/patch_format.h"

namespace {

constexpr size_t kSize = size_t{256} << 20;
constexpr int kRounds = 3;

uint32_t byte_table[256];

void build_byte_table() {
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t r = i << 24;
    for (int bit = 0; bit < 8; bit++) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
    byte_table[i] = r;
  }
}

// The classic loop: one table lookup per byte.
uint32_t byte_at_a_time(const unsigned char* p, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; i++) crc = (crc << 8) ^ byte_table[(crc >> 24) ^ p[i]];
  return ~crc;
}

// Best of kRounds, in seconds; the CRC goes to *crc so nothing is optimised away.
template <typename F>
double best_time(F f, uint32_t* crc) {
  double best = 1e30;
  for (int r = 0; r < kRounds; r++) {
    double start = now_seconds();
    *crc = f();
    double took = now_seconds() - start;
    if (took < best) best = took;
  }
  return best;
}

}  // namespace

int main() {
  build_byte_table();
  std::vector<unsigned char> data(kSize);
  bench_fill_random(data.data(), data.size(), 0x9E3779B97F4A7C15u);

  uint32_t plain_crc = 0, fast_crc = 0;
  double plain = best_time([&] { return byte_at_a_time(data.data(), data.size()); }, &plain_crc);
  double fast = best_time([&] { return compute_crc(data.data(), data.size()); }, &fast_crc);
  if (plain_crc != fast_crc) {
    fprintf(stderr, "CRC differs: %08x vs %08x\n", plain_crc, fast_crc);
    return 1;
  }
  const double gib = static_cast<double>(kSize) / (1u << 30);
  printf("crc over 256 MiB (best of %d)\n", kRounds);
  printf("  byte-at-a-time table: %6.2f GiB/s\n", gib / plain);
  printf("  compute_crc:          %6.2f GiB/s\n", gib / fast);
  printf("  speed-up:             %6.2fx\n", plain / fast);
  return 0;
}
