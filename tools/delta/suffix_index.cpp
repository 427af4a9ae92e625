// Suffix sorting and the bounded binary search for the longest match.
#include "tools/delta/suffix_index.h"

#include <divsufsort.h>

#include <algorithm>
#include <new>

#include "base/status.h"

namespace {

constexpr uint32_t kBuckets = 65536;

// Number of bytes, from `from` on, that suffix `pos` shares with `key`,
// counting at most `limit` in all.
uint32_t common_prefix(const SuffixIndex& index, int32_t pos, const unsigned char* key,
                       uint32_t from, uint32_t limit) {
  const unsigned char* s = index.text + pos;
  uint32_t end = std::min<uint32_t>(limit, static_cast<uint32_t>(index.size - pos));
  uint32_t k = from;
  while (k < end && s[k] == key[k]) k++;
  return k;
}

}  // namespace

int suffix_index_build(SuffixIndex* index, const unsigned char* text, size_t size) {
  *index = SuffixIndex{};
  index->text = text;
  index->size = static_cast<int32_t>(size);
  index->bucket_start = new (std::nothrow) uint32_t[kBuckets + 1]();
  if (index->bucket_start == nullptr) return ERR_NO_MEMORY;
  if (size == 0) return OK;
  index->sa = new (std::nothrow) int32_t[size];
  if (index->sa == nullptr) {
    suffix_index_free(index);
    return ERR_NO_MEMORY;
  }
  if (divsufsort(text, index->sa, static_cast<saidx_t>(size)) != 0) {
    suffix_index_free(index);
    return ERR_NO_MEMORY;
  }
  // Counted from the text, not the array, to read memory in order. The
  // one-byte last suffix "b" sorts just before every "b\0...", so it is
  // counted with prefix (b, 0).
  uint32_t* count = index->bucket_start + 1;
  for (size_t i = 0; i + 1 < size; i++) count[(text[i] << 8) | text[i + 1]]++;
  count[text[size - 1] << 8]++;
  for (uint32_t b = 1; b <= kBuckets; b++) index->bucket_start[b] += index->bucket_start[b - 1];
  return OK;
}

void suffix_index_free(SuffixIndex* index) {
  delete[] index->sa;
  delete[] index->bucket_start;
  index->sa = nullptr;
  index->bucket_start = nullptr;
}

Match suffix_index_longest_match(const SuffixIndex& index, const unsigned char* key,
                                 size_t key_size, size_t cap) {
  Match best;
  if (index.size == 0 || key_size < 2) return best;
  uint32_t limit = static_cast<uint32_t>(std::min(key_size, cap));
  uint32_t b = (key[0] << 8) | key[1];
  uint32_t lo = index.bucket_start[b], hi = index.bucket_start[b + 1];
  if (lo == hi) return best;

  // Binary search between the range's ends, keeping the common prefix of the
  // key with each end: every suffix between them shares at least the smaller
  // of the two, so the comparisons skip it (no byte is compared twice per
  // level, and a long run of equal bytes costs only `limit` per step).
  uint32_t left = lo, right = hi - 1;
  uint32_t left_len = common_prefix(index, index.sa[left], key, 0, limit);
  uint32_t right_len = common_prefix(index, index.sa[right], key, 0, limit);
  while (right - left > 1 && left_len < limit && right_len < limit) {
    uint32_t mid = left + (right - left) / 2;
    int32_t pos = index.sa[mid];
    uint32_t k = common_prefix(index, pos, key, std::min(left_len, right_len), limit);
    if (k == limit) return {pos, k};
    bool suffix_smaller = pos + static_cast<int64_t>(k) == index.size || index.text[pos + k] < key[k];
    if (suffix_smaller) {
      left = mid;
      left_len = k;
    } else {
      right = mid;
      right_len = k;
    }
  }
  if (left_len >= right_len) return {index.sa[left], left_len};
  return {index.sa[right], right_len};
}
