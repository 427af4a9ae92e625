// Choosing the aligned segments of a patch: which stretches of NEW are
// formed from OLD (and at which offset), and which are new bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/delta/approximate_match.h"
#include "tools/delta/suffix_index.h"

// NEW[new_start, new_start + length) is formed from OLD[old_start, ...) plus
// the diff bytes; the bytes of NEW between two segments are extra bytes.
struct Segment {
  uint32_t new_start;
  uint32_t old_start;
  uint32_t length;
};

// Fills `segments` (cleared first) in increasing, non-overlapping NEW order,
// each lying inside both inputs. `index` is the suffix index of a.old_data
// without the blocks of OLD in `shared` (as find_shared_blocks leaves them).
// Time near O((n + m) log n) on any input. Throws only std::bad_alloc.
void find_segments(const SuffixIndex& index, const std::vector<Segment>& shared,
                   const Alignment& a, std::vector<Segment>* segments);
