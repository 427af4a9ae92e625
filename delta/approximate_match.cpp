// Score-maximising extension of matches, forwards and backwards.
#include "delta/approximate_match.h"

#include <algorithm>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// How far below its best the running score may fall before the scan gives
// up: long enough to cross a changed word or two, short enough that the
// bytes scanned past the end of a match stay a small constant.
constexpr int64_t kGiveUpDrop = 24;
// ... or once it has gone this many bytes without a new best: a score that
// only hovers (every other byte agreeing) would otherwise never fall.
constexpr size_t kGiveUpStall = 128;

#if defined(__SSE2__)
// The pair_score of the 16 pairs from NEW[ni] / OLD[oi] on, scanning
// forwards (both at least 8): bit j of *agree set for +1, of *differ for -1.
void chunk_scores(const Alignment& a, size_t ni, size_t oi, uint32_t* agree, uint32_t* differ) {
  auto diff = [&](size_t back) {
    __m128i n = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a.new_data + ni - back));
    __m128i o = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a.old_data + oi - back));
    return _mm_sub_epi8(n, o);
  };
  __m128i d = diff(0), d4 = diff(4), d8 = diff(8);
  uint32_t zero = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(d, _mm_setzero_si128())));
  uint32_t repeat = static_cast<uint32_t>(
      _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(d, d4), _mm_cmpeq_epi8(d, d8))));
  *agree = zero;
  *differ = ~(zero | repeat) & 0xFFFF;
}
#endif

}  // namespace

Reach reach_forward(const Alignment& a, size_t new_pos, size_t old_pos, size_t limit) {
  Reach best;
  if (new_pos >= a.new_size || old_pos >= a.old_size) return best;
  size_t end = std::min({limit, a.new_size - new_pos, a.old_size - old_pos});
  int64_t score = 0;
  size_t i = 0;
#if defined(__SSE2__)
  // Sixteen pairs scored at once (most candidates of a scan over text fail
  // within a few dozen bytes, each costing a scan to where the score falls).
  for (; i + 16 <= end && new_pos + i >= 8 && old_pos + i >= 8; i += 16) {
    uint32_t agree, differ;
    chunk_scores(a, new_pos + i, old_pos + i, &agree, &differ);
    if (agree == 0xFFFF && score >= best.score) {
      score += 16;
      best = Reach{i + 16, score};
      continue;
    }
    for (size_t j = 0; j < 16; j++) {
      score += static_cast<int>((agree >> j) & 1) - static_cast<int>((differ >> j) & 1);
      if (score > best.score) {
        best.score = score;
        best.length = i + j + 1;
      } else if (best.score - score > kGiveUpDrop || i + j - best.length > kGiveUpStall) {
        return best;
      }
    }
  }
#endif
  for (; i < end; i++) {
    score += pair_score(a, new_pos + i, old_pos + i, -1);
    if (score > best.score) {
      best.score = score;
      best.length = i + 1;
    } else if (best.score - score > kGiveUpDrop || i - best.length > kGiveUpStall) {
      break;
    }
  }
  return best;
}

Reach reach_backward(const Alignment& a, size_t new_pos, size_t old_pos, size_t limit) {
  Reach best;
  size_t end = std::min({limit, new_pos, old_pos});
  int64_t score = 0;
  for (size_t i = 1; i <= end; i++) {
    score += pair_score(a, new_pos - i, old_pos - i, 1);
    if (score > best.score) {
      best.score = score;
      best.length = i;
    } else if (best.score - score > kGiveUpDrop || i - best.length > kGiveUpStall) {
      break;
    }
  }
  return best;
}
