// Growing an exact match into an approximate one: the bytes around a match
// that mostly agree with OLD at the same alignment go into the diff block
// (as mostly zero bytes) instead of the extra block.
#pragma once

#include <cstddef>
#include <cstdint>

// Two inputs at one alignment: NEW byte i faces OLD byte i + offset.
struct Alignment {
  const unsigned char* old_data;
  size_t old_size;
  const unsigned char* new_data;
  size_t new_size;
};

// What a NEW byte facing an OLD byte costs in the diff block, as the
// compressor sees it: +1 where they agree (a zero), 0 where they disagree by
// the same amount as the pair `step` bytes back in the scan's direction
// (step -1 forwards, +1 backwards) at 4 or 8 bytes (a shifted pointer or
// offset in a table, which compresses as a repeat), -1 otherwise. `ni` and
// `oi` index the same alignment.
inline int pair_score(const Alignment& a, size_t ni, size_t oi, int step) {
  const unsigned char* n = a.new_data;
  const unsigned char* o = a.old_data;
  unsigned char d = static_cast<unsigned char>(n[ni] - o[oi]);
  if (d == 0) return 1;
  for (size_t back = 4; back <= 8; back += 4) {
    if (step < 0 ? (ni >= back && oi >= back)
                 : (ni + back < a.new_size && oi + back < a.old_size)) {
      size_t nj = step < 0 ? ni - back : ni + back;
      size_t oj = step < 0 ? oi - back : oi + back;
      if (static_cast<unsigned char>(n[nj] - o[oj]) == d) return 0;
    }
  }
  return -1;
}

// How far an approximate match reaches from a starting pair.
struct Reach {
  size_t length = 0;  // bytes covered
  int64_t score = 0;  // sum of pair_score over `length`
};

// From NEW[new_pos] / OLD[old_pos] forwards: the length that maximises the
// sum of pair_score. Stops scanning `limit` bytes on, or
// once the score has fallen far below its best, so the work is linear in the
// bytes covered, also when the score only hovers.
Reach reach_forward(const Alignment& a, size_t new_pos, size_t old_pos, size_t limit);

// The same backwards from the bytes just before NEW[new_pos] / OLD[old_pos],
// covering at most `limit` bytes.
Reach reach_backward(const Alignment& a, size_t new_pos, size_t old_pos, size_t limit);
