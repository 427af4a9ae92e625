// Score-maximising extension of matches, forwards and backwards.
#include "tools/delta/approximate_match.h"

#include <algorithm>

namespace {

// How far below its best the running score may fall before the scan gives
// up: long enough to cross a changed word or two, short enough that the
// bytes scanned past the end of a match stay a small constant.
constexpr int64_t kGiveUpDrop = 24;
// ... or once it has gone this many bytes without a new best: a score that
// only hovers (every other byte agreeing) would otherwise never fall.
constexpr size_t kGiveUpStall = 128;

}  // namespace

Reach reach_forward(const Alignment& a, size_t new_pos, size_t old_pos, size_t limit) {
  Reach best;
  if (new_pos >= a.new_size || old_pos >= a.old_size) return best;
  size_t end = std::min({limit, a.new_size - new_pos, a.old_size - old_pos});
  int64_t score = 0;
  for (size_t i = 0; i < end; i++) {
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
