// The scan over NEW that picks segments.
//
// One pass from the start of NEW. Where the last segment's alignment still
// fits, the approximate extension walks on linearly without any search, so a
// long stretch that differs from OLD in only a few bytes costs one comparison
// per byte, with a search for a better alignment only now and then (the
// probes back off while they find nothing). Elsewhere each position is
// searched in the suffix array, the candidates are scored over a bounded
// window, and the winner is grown backwards into the gap and forwards as far
// as it pays. Each position is searched a bounded number of times and every
// scan is capped, so no input makes this quadratic.
#include "delta/segment_search.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// While a segment grows, NEW is searched for a better alignment at a failing
// byte this far on at first, the distance doubling after each probe that
// finds nothing better, up to the last value.
constexpr size_t kFirstProbeGap = 1;
constexpr size_t kLastProbeGap = 16;
// A longest match that reaches this is long enough; the search stops there
// and the extension takes over.
constexpr size_t kCompareCap = 1 << 16;

// The longer of the index's longest match for NEW[pos...] and the one the
// shared stretch holding `pos` (if any) gives: the index leaves those
// stretches' blocks of OLD out.
// `next`: the first stretch that starts after the position last asked about.
// The scan moves forward, so finding the stretch is mostly a step or none.
Match longest_match(const SuffixIndex& index, const std::vector<Segment>& shared,
                    const Alignment& a, size_t pos, MatchMemo* memo, size_t* next) {
  Match m = suffix_index_longest_match(index, a.new_data + pos, a.new_size - pos, kCompareCap,
                                       memo);
  size_t& n = *next;
  if (n > 0 && shared[n - 1].new_start > pos) {
    n = static_cast<size_t>(
        std::upper_bound(shared.begin(), shared.end(), pos,
                         [](size_t p, const Segment& s) { return p < s.new_start; }) -
        shared.begin());
  }
  while (n < shared.size() && shared[n].new_start <= pos) n++;
  if (n == 0) return m;
  auto it = shared.begin() + static_cast<ptrdiff_t>(n - 1);
  if (pos >= static_cast<size_t>(it->new_start) + it->length) return m;
  size_t old_pos = it->old_start + (pos - it->new_start);
  size_t limit = std::min({kCompareCap, a.new_size - pos, a.old_size - old_pos});
  size_t length = std::min<size_t>(it->new_start + it->length - pos, limit);
  while (length < limit && a.new_data[pos + length] == a.old_data[old_pos + length]) length++;
  if (length > m.length) m = Match{static_cast<int32_t>(old_pos), static_cast<uint32_t>(length)};
  return m;
}

// Grows the segment that starts at NEW[scan] / OLD[scan + offset]: the
// approximate extension of reach_forward, except that now and then, at a
// byte where the alignment fails, NEW is searched for a better one. The
// probes back off while they find nothing better, so a long stretch that
// matches well costs few searches. Returns the segment's length from `scan`
// and sets *switch_at / *switch_match when a better alignment was found.
size_t grow_segment(const SuffixIndex& index, const std::vector<Segment>& shared,
                    const Alignment& a, const SearchSettings& set, MatchMemo* memo,
                    size_t* shared_next, size_t scan, int64_t offset, size_t* switch_at,
                    Match* switch_match) {
  const unsigned char* n = a.new_data;
  // NEW byte i faces OLD byte i + offset; scan + offset >= 0 and i >= scan.
  const unsigned char* o = a.old_data;
  size_t end = std::min<size_t>(a.new_size,
                                static_cast<size_t>(static_cast<int64_t>(a.old_size) - offset));
  int64_t score = 0, best = 0;
  size_t best_end = scan;
  size_t probe_gap = kFirstProbeGap, next_probe = scan + probe_gap;
  *switch_at = SIZE_MAX;
  for (size_t i = scan; i < end; i++) {
    size_t oi = static_cast<size_t>(static_cast<int64_t>(i) + offset);
    // Eight agreeing bytes at a new best each: most of a long segment.
    uint64_t nw, ow;
    while (score >= best && i + 8 <= end &&
           (memcpy(&nw, n + i, 8), memcpy(&ow, o + oi, 8), nw == ow)) {
      score += 8;
      best = score;
      i += 8;
      oi += 8;
      best_end = i;
    }
    if (i == end) break;
    int weight = n[i] == o[oi] ? 1 : pair_score(a, i, oi, -1);
    score += weight;
    if (weight > 0) {
      if (score > best) {
        best = score;
        best_end = i + 1;
      }
      continue;
    }
    if (best - score > set.give_up_drop || i - best_end > set.give_up_stall) break;
    if (weight == 0) continue;
    if (i + 1 < next_probe || i + 1 + set.min_probe > a.new_size) continue;
    Match m = longest_match(index, shared, a, i + 1, memo, shared_next);
    int64_t m_offset = m.old_pos - static_cast<int64_t>(i + 1);
    if (m.length >= set.min_probe && m_offset != offset) {
      // What the current alignment makes of the same bytes.
      uint32_t own = 0;
      size_t stop = std::min<size_t>(i + 1 + m.length, end);
      for (size_t k = i + 1; k < stop; k++)
        own += pair_score(a, k, static_cast<size_t>(static_cast<int64_t>(k) + offset), -1) >= 0;
      if (static_cast<int64_t>(m.length) > own + set.switch_margin) {
        *switch_at = i + 1;
        *switch_match = m;
        break;
      }
    }
    probe_gap = std::min(probe_gap * 2, kLastProbeGap);
    next_probe = i + 1 + probe_gap;
  }
  return best_end - scan;
}

}  // namespace

void find_segments(const SuffixIndex& index, const std::vector<Segment>& shared,
                   const Alignment& a, const SearchSettings& set,
                   std::vector<Segment>* segments, ScanPassed passed, void* context) {
  segments->clear();
  const size_t m = a.new_size;
  const int64_t n = static_cast<int64_t>(a.old_size);
  size_t scan = 0;
  // End of the last segment in NEW: no later step reads NEW before it (the
  // backward extension stops there).
  size_t covered = 0;
  size_t told = 0;  // what `passed` was last told
  bool have_previous = false;
  int64_t previous_offset = 0;  // OLD position minus NEW position
  bool have_switch = false;
  Match switch_match;
  MatchMemo memo;
  size_t shared_next = 0;

  while (scan + set.min_probe <= m) {
    Match match =
        have_switch ? switch_match : longest_match(index, shared, a, scan, &memo, &shared_next);
    have_switch = false;
    if (match.length < set.min_probe) {
      scan++;
      continue;
    }
    int64_t offset = match.old_pos - static_cast<int64_t>(scan);
    Reach candidate =
        reach_forward(a, scan, static_cast<size_t>(match.old_pos), set.score_window);
    if (have_previous && previous_offset != offset) {
      int64_t old_pos = static_cast<int64_t>(scan) + previous_offset;
      if (old_pos >= 0 && old_pos < n) {
        Reach stay = reach_forward(a, scan, static_cast<size_t>(old_pos), set.score_window);
        if (stay.score + set.switch_margin >= candidate.score) {
          candidate = stay;
          offset = previous_offset;
        }
      }
    }
    if (candidate.score < set.min_score) {
      // The NEW positions inside a match too short to pay mostly find the
      // same chance match again, shorter: skipping them makes text several
      // times faster to scan, and the patches no larger.
      scan += match.length;
      continue;
    }

    size_t old_pos = static_cast<size_t>(static_cast<int64_t>(scan) + offset);
    Reach back = reach_backward(a, scan, old_pos, scan - covered);
    size_t switch_at;
    size_t ahead =
        grow_segment(index, shared, a, set, &memo, &shared_next, scan, offset, &switch_at,
                     &switch_match);
    if (ahead == 0) {
      scan++;
      continue;
    }
    Segment s{static_cast<uint32_t>(scan - back.length), static_cast<uint32_t>(old_pos - back.length),
              static_cast<uint32_t>(back.length + ahead)};
    // A short gap to the previous segment at the same alignment is cheaper
    // as diff bytes than as a triple of its own.
    if (!segments->empty()) {
      Segment& last = segments->back();
      size_t gap = s.new_start - (last.new_start + last.length);
      if (static_cast<int64_t>(last.old_start) - last.new_start == offset && gap <= set.merge_gap) {
        last.length = s.new_start + s.length - last.new_start;
        s.length = 0;
      }
    }
    if (s.length > 0) segments->push_back(s);
    covered = scan + ahead;
    scan = covered;
    if (passed != nullptr && covered - told >= kScanPassedStep) {
      told = covered;
      passed(told, context);
    }
    if (switch_at != SIZE_MAX && switch_at >= covered) {
      scan = switch_at;
      have_switch = true;
    }
    previous_offset = offset;
    have_previous = true;
  }
}
