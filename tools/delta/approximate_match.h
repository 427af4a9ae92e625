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

// How far an approximate match reaches from a starting pair.
struct Reach {
  size_t length = 0;  // bytes covered
  int64_t score = 0;  // agreeing minus disagreeing bytes over `length`
};

// From NEW[new_pos] / OLD[old_pos] forwards: the length that maximises
// agreeing minus disagreeing bytes. Stops scanning `limit` bytes on, or
// once the score has fallen far below its best, so the work is linear in the
// bytes covered, also when the score only hovers.
Reach reach_forward(const Alignment& a, size_t new_pos, size_t old_pos, size_t limit);

// The same backwards from the bytes just before NEW[new_pos] / OLD[old_pos],
// covering at most `limit` bytes.
Reach reach_backward(const Alignment& a, size_t new_pos, size_t old_pos, size_t limit);
