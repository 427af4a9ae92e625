// Choosing the aligned segments of a patch: which stretches of NEW are
// formed from OLD (and at which offset), and which are new bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "delta/approximate_match.h"
#include "delta/suffix_index.h"

// NEW[new_start, new_start + length) is formed from OLD[old_start, ...) plus
// the diff bytes; the bytes of NEW between two segments are extra bytes.
struct Segment {
  uint32_t new_start;
  uint32_t old_start;
  uint32_t length;
  bool operator==(const Segment& s) const {
    return new_start == s.new_start && old_start == s.old_start && length == s.length;
  }
};

// The constants that steer the search. No one setting gives the smallest
// patch of every input, so a caller may try several; the defaults are the
// best single choice on shared libraries and programs of two releases.
struct SearchSettings {
  // Score (agreeing minus disagreeing bytes) a candidate must reach over its
  // window to be worth a triple of its own. A triple costs about 4 bytes
  // after compression, and the bytes a short match takes out of the extra
  // block would mostly have compressed well there (text to a fifth of its
  // size, as it repeats itself), so a match must cover a few dozen bytes.
  int64_t min_score = 24;
  // Exact matches shorter than this are chance in any input of real size
  // and are not scored at all; shorter ones also lure the scan off a good
  // alignment onto chance matches. At least kShortestSureMatch: the index
  // may report a shorter match as none.
  uint32_t min_probe = 6;
  // Window over which two candidates are compared: long enough to see past
  // a short chance match to the alignment that keeps on agreeing (the scans
  // stop early where the score falls, so a long window costs little).
  size_t score_window = 4096;
  // Staying at the previous alignment keeps the seeks of the control block
  // alike; it wins unless the other candidate scores this much more.
  int64_t switch_margin = 8;
  // Consecutive segments at one alignment with at most this many bytes
  // between them become one. Differing bytes cost more in the diff block
  // (where they break runs of zeros) than in the extra block, so a longer
  // gap mostly pays as a triple of its own.
  size_t merge_gap = 8;
  // A growing segment ends where its score has fallen this far below its
  // best: a handful of changed bytes, and the search takes over ...
  int64_t give_up_drop = 4;
  // ... or where it has gone this far without a new best (a score that only
  // hovers never falls, and each restart would scan the same bytes again).
  size_t give_up_stall = 256;
};

// Told now and then, with the caller's context, that the scan reads no byte
// of NEW before `new_pos` any more: after each kScanPassedStep bytes or so.
using ScanPassed = void (*)(size_t new_pos, void* context);
constexpr size_t kScanPassedStep = size_t{1} << 15;

// Fills `segments` (cleared first) in increasing, non-overlapping NEW order,
// each lying inside both inputs. `index` is the suffix index of a.old_data
// without the blocks of OLD in `shared` (as find_shared_blocks leaves them).
// Time near O((n + m) log n) on any input. Throws only std::bad_alloc.
void find_segments(const SuffixIndex& index, const std::vector<Segment>& shared,
                   const Alignment& a, const SearchSettings& settings,
                   std::vector<Segment>* segments, ScanPassed passed = nullptr,
                   void* context = nullptr);
