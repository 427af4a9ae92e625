// Suffix sorting and the bounded binary search for the longest match.
#include "delta/suffix_index.h"

#include <divsufsort.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/byte_order.h"
#include "base/status.h"

namespace {

// The prefix table has a row for about this many stored suffixes when there
// are as many keys to search as bytes in the text, more rows for more keys,
// up to one for each two-byte prefix: a full table for few searches would
// take more memory than the suffixes themselves, for a step or two saved.
constexpr size_t kSuffixesPerRow = 8;
constexpr uint32_t kMaxPrefixBits = 16;

// Bits of the gram filter for each position it covers: enough to turn away
// most keys whose first kFilterGram bytes occur nowhere in the text, which
// are most keys of a scan over native code.
constexpr size_t kFilterBitsPerPosition = 2;

// The filter bit of the kFilterGram bytes at `p`.
uint64_t gram_bit(const SuffixIndex& index, const unsigned char* p) {
  uint32_t gram;
  memcpy(&gram, p, sizeof gram);
  return (static_cast<uint64_t>(gram * 0x9E3779B1u) * index.filter_bits) >> 32;
}

// The table row of the suffixes that begin with bytes `first`, `second`.
uint32_t prefix_row(const SuffixIndex& index, uint32_t first, uint32_t second) {
  return ((first << 8) | second) >> (kMaxPrefixBits - index.prefix_bits);
}

// Number of bytes, from `from` on, that suffix `pos` shares with `key`,
// counting at most `limit` in all.
uint32_t common_prefix(const SuffixIndex& index, int32_t pos, const unsigned char* key,
                       uint32_t from, uint32_t limit) {
  const unsigned char* s = index.text + pos;
  uint32_t end = std::min<uint32_t>(limit, static_cast<uint32_t>(index.size - pos));
  uint32_t k = from;
  // Most comparisons end at the first byte; past it, eight bytes at a time
  // (text repeats itself in long stretches).
  if (k < end && s[k] != key[k]) return k;
  while (k + 8 <= end) {
    uint64_t x, y;
    memcpy(&x, s + k, 8);
    memcpy(&y, key + k, 8);
    if (x != y) return k + static_cast<uint32_t>(__builtin_ctzll(x ^ y) >> 3);
    k += 8;
  }
  while (k < end && s[k] == key[k]) k++;
  return k;
}

// The match the search found at `pos`. Suffixes near a left-out range are
// in order only over their first bytes past it, so the prefix the search
// skipped may not be shared: counted again from the start.
Match checked_match(const SuffixIndex& index, int32_t pos, const unsigned char* key,
                    uint32_t limit) {
  return {pos, common_prefix(index, pos, key, 0, limit)};
}

// Bytes past each kept piece that are sorted with it, so that the kept
// suffixes near a left-out range still sort by what follows them in the text.
// (Longer tails made patches of shared libraries of two releases smaller by
// under 0.1%, and each byte costs 5 while sorting.)
constexpr size_t kSortTail = 8;
// Mostly only the suffixes at even positions are stored, for half the
// memory; one at an odd position is found through the next one and a byte
// back, at a second search. (The patches of shared libraries of two
// releases came out within 0.2%, most of them smaller.) With this many keys
// or more for each byte of the text, all are stored: the searches then cost
// more than the memory.
constexpr size_t kKeysForAll = 4;

// When the suffixes at odd positions are left out, the copy is sorted in
// three parts, each dropping what the index does not keep before the next is
// sorted, and merged: the sort then peaks near 3.3 bytes for each byte
// instead of 5 (the copy, a part's 4-byte entries and what the parts before
// it kept). Copies shorter than this are sorted whole.
constexpr size_t kSplitAt = size_t{1} << 16;
// The parts are merged comparing this many bytes of each suffix at most, so
// that no run of equal bytes makes the merge slow; the first part is sorted
// with as many bytes past its end. Order past them is left as it falls, as
// near a left-out range.
constexpr size_t kMergeDepth = 256;

// A kept stretch of the text, copied for the sort with kSortTail more bytes.
struct Piece {
  uint32_t copy_start;  // where the copy begins in the sorted string
  uint32_t text_start;
  uint32_t kept;
};

// Where the bytes of the sorted string come from: the pieces, and the piece
// of each 32 bytes' start in the copy (a piece and its tail are 9 bytes at
// least), to find the piece of a suffix in a step or two.
struct CopyMap {
  std::vector<Piece> pieces;
  uint32_t* piece_at = nullptr;  // owned
};

const Piece& piece_of(const CopyMap& map, uint32_t c) {
  const Piece* p = &map.pieces[map.piece_at[c >> 5]];
  const Piece* last = &map.pieces.back();
  while (p < last && p[1].copy_start <= c) p++;
  return *p;
}

// Sorts the suffixes of copy[begin, stop) and keeps, in order, those that
// start before `end` at a position the index stores, as positions in the
// copy: a new malloc'ed array of *count entries in *kept.
int sort_part(const unsigned char* copy, size_t begin, size_t end, size_t stop,
              const CopyMap& map, uint32_t odd, int32_t** kept, size_t* count) {
  size_t n = stop - begin;
  int32_t* sa = static_cast<int32_t*>(malloc(n * sizeof(int32_t)));
  if (sa == nullptr || divsufsort(copy + begin, sa, static_cast<saidx_t>(n)) != 0) {
    free(sa);
    return ERR_NO_MEMORY;
  }
  size_t k = 0;
  for (size_t i = 0; i < n; i++) {
    uint32_t c = static_cast<uint32_t>(sa[i] + begin);
    const Piece& p = piece_of(map, c);
    uint32_t off = c - p.copy_start;
    // Written always, kept or not: a branch on a coin toss (an odd
    // position) would be mispredicted every other time.
    sa[k] = static_cast<int32_t>(c);
    k += (c < end) & (off < p.kept) & (((p.text_start + off) & odd) == 0);
  }
  // The dropped entries go back to the system (a large block shrinks in
  // place) before the next part is sorted.
  if (k > 0 && k < n) {
    void* smaller = realloc(sa, k * sizeof(int32_t));
    if (smaller != nullptr) sa = static_cast<int32_t*>(smaller);
  }
  *kept = sa;
  *count = k;
  return OK;
}

// Whether the suffix of the copy at `a` sorts after the one at `b` over
// their first kMergeDepth bytes.
bool sorts_after(const unsigned char* copy, size_t total, int32_t a, int32_t b) {
  size_t rest_a = total - static_cast<size_t>(a), rest_b = total - static_cast<size_t>(b);
  if (rest_a >= 8 && rest_b >= 8) {  // most pairs differ in their first eight bytes
    uint64_t x = load_be64(copy + a), y = load_be64(copy + b);
    if (x != y) return x > y;
  }
  size_t n = std::min({rest_a, rest_b, kMergeDepth});
  int order = memcmp(copy + a, copy + b, n);
  if (order != 0) return order > 0;
  return n < kMergeDepth && rest_a > rest_b;
}

// Merges the sorted `second` (count_second entries) into the sorted *first,
// which grows to hold both. OK or ERR_NO_MEMORY.
int merge_parts(const unsigned char* copy, size_t total, int32_t** first, size_t count_first,
                const int32_t* second, size_t count_second) {
  int32_t* out =
      static_cast<int32_t*>(realloc(*first, (count_first + count_second) * sizeof(int32_t)));
  if (out == nullptr) return ERR_NO_MEMORY;
  *first = out;
  // From the back, so that no entry of the first part is overwritten unread.
  size_t i = count_first, j = count_second, w = count_first + count_second;
  while (j > 0) {
    if (i > 0 && sorts_after(copy, total, out[i - 1], second[j - 1]))
      out[--w] = out[--i];
    else
      out[--w] = second[--j];
  }
  return OK;
}

// Sizes the prefix table and the filter for the `count` sorted suffixes in
// `sa` (positions in the copy), and, in one pass over them while the copy is
// still there, fills the table (rows begin in order along the sorted
// suffixes) and packs their positions in the text into `sa` itself, which
// becomes index->entries.
int place_sorted(SuffixIndex* index, const unsigned char* copy, size_t total, const CopyMap& map,
                 int32_t* sa, size_t count, size_t keys) {
  index->count = static_cast<int32_t>(count);
  double rows = static_cast<double>(count) / kSuffixesPerRow *
                std::max(1.0, static_cast<double>(keys) / static_cast<double>(index->size));
  while (index->prefix_bits < kMaxPrefixBits && (size_t{1} << index->prefix_bits) < rows)
    index->prefix_bits++;
  size_t last_row = size_t{1} << index->prefix_bits;
  index->bucket_start = static_cast<uint32_t*>(malloc((last_row + 1) * sizeof(uint32_t)));
  // Two bits a stored suffix: about one a position it covers.
  index->filter_bits = std::max<uint64_t>(64, kFilterBitsPerPosition * 2 * count);
  index->filter = static_cast<uint64_t*>(calloc((index->filter_bits + 63) / 64, 8));
  if (index->bucket_start == nullptr || index->filter == nullptr) {
    free(sa);
    return ERR_NO_MEMORY;
  }
  index->entry_bits = 1;
  while ((static_cast<uint32_t>(index->size - 1) >> index->odd) >> index->entry_bits != 0)
    index->entry_bits++;
  // Packed over the entries as they are read: the bytes written never reach
  // the next entry to read, as an entry takes at most 32 bits.
  unsigned char* bytes = reinterpret_cast<unsigned char*>(sa);
  uint64_t pending = 0;
  uint32_t pending_bits = 0;
  size_t written = 0, next_row = 0;
  for (size_t k = 0; k < count; k++) {
    uint32_t c = static_cast<uint32_t>(sa[k]);
    // The one-byte last suffix "b" sorts just before every "b\0...".
    size_t row = prefix_row(*index, copy[c], c + 1 < total ? copy[c + 1] : 0);
    while (next_row <= row) index->bucket_start[next_row++] = static_cast<uint32_t>(k);
    const Piece& p = piece_of(map, c);
    uint32_t pos = p.text_start + (c - p.copy_start);
    pending |= static_cast<uint64_t>(pos >> index->odd) << pending_bits;
    for (pending_bits += index->entry_bits; pending_bits >= 8; pending_bits -= 8) {
      bytes[written++] = static_cast<unsigned char>(pending);
      pending >>= 8;
    }
  }
  while (next_row <= last_row) index->bucket_start[next_row++] = static_cast<uint32_t>(count);
  if (pending_bits > 0) bytes[written++] = static_cast<unsigned char>(pending);
  // Eight bytes more, so that an entry is read with one 8-byte load.
  unsigned char* packed = static_cast<unsigned char*>(realloc(sa, written + 8));
  if (packed == nullptr) {
    free(sa);
    return ERR_NO_MEMORY;
  }
  memset(packed + written, 0, 8);
  index->entries = packed;
  return OK;
}

// Sorts the suffixes that start outside `skip`: the kept pieces, each with
// its tail, are copied into one string and sorted, and the suffixes that
// start in a tail or at an odd position are dropped again. The text is not
// needed while the copy is sorted: `pause` may take it away meanwhile.
int sort_kept(SuffixIndex* index, const std::vector<TextRange>& skip, SortPause pause,
              void* context, size_t keys) {
  size_t size = static_cast<size_t>(index->size);
  CopyMap map;
  size_t total = 0, at = 0;
  for (size_t r = 0; r <= skip.size(); r++) {
    size_t end = r < skip.size() ? skip[r].start : size;
    if (end > at) {
      map.pieces.push_back(Piece{static_cast<uint32_t>(total), static_cast<uint32_t>(at),
                                 static_cast<uint32_t>(end - at)});
      total += std::min(end + kSortTail, size) - at;
    }
    if (r < skip.size()) at = static_cast<size_t>(skip[r].start) + skip[r].length;
  }
  if (total == 0) return OK;
  unsigned char* copy = static_cast<unsigned char*>(malloc(total));
  map.piece_at = static_cast<uint32_t*>(malloc(((total >> 5) + 1) * sizeof(uint32_t)));
  if (copy == nullptr || map.piece_at == nullptr) {
    free(copy);
    free(map.piece_at);
    return ERR_NO_MEMORY;
  }
  for (const Piece& p : map.pieces)
    memcpy(copy + p.copy_start, index->text + p.text_start,
           std::min(p.text_start + p.kept + kSortTail, size) - p.text_start);
  for (size_t k = 0, q = 0; k <= total >> 5; k++) {
    while (q + 1 < map.pieces.size() && map.pieces[q + 1].copy_start <= k << 5) q++;
    map.piece_at[k] = static_cast<uint32_t>(q);
  }
  int rc = pause ? pause(true, context) : OK;
  int32_t* sa = nullptr;
  size_t count = 0;
  if (rc == OK) {
    // Four sevenths, two, then one: each part's 4-byte entries and what the
    // parts before it kept (half as many, for the even positions) weigh the
    // same at each step.
    size_t ends[3] = {total * 4 / 7, total * 6 / 7, total};
    size_t parts = index->odd == 1 && total >= kSplitAt ? 3 : 1;
    if (parts == 1) ends[0] = total;
    for (size_t i = 0; i < parts && rc == OK; i++) {
      size_t begin = i == 0 ? 0 : ends[i - 1];
      int32_t* part = nullptr;
      size_t part_count = 0;
      rc = sort_part(copy, begin, ends[i], std::min(ends[i] + kMergeDepth, total), map,
                     index->odd, &part, &part_count);
      if (rc == OK && i == 0) {
        sa = part;
        count = part_count;
        continue;
      }
      if (rc == OK) rc = merge_parts(copy, total, &sa, count, part, part_count);
      count += part_count;
      free(part);
    }
  }
  if (rc == OK)
    rc = place_sorted(index, copy, total, map, sa, count, keys);  // owns sa from here
  else
    free(sa);
  free(copy);
  free(map.piece_at);
  std::vector<Piece>().swap(map.pieces);
  if (pause) {
    int back = pause(false, context);
    if (rc == OK) rc = back;
  }
  return rc;
}

bool gram_set(const SuffixIndex& index, const unsigned char* gram) {
  uint64_t bit = gram_bit(index, gram);
  return (index.filter[bit >> 6] >> (bit & 63)) & 1;
}

// Whether `key` may have a match of kShortestSureMatch bytes: both its
// first and its second kFilterGram bytes must occur (most keys of text pass
// the first test alone).
bool may_occur(const SuffixIndex& index, const unsigned char* key, size_t key_size) {
  if (key_size < kShortestSureMatch) return true;
  return gram_set(index, key) && gram_set(index, key + 1);
}

// Sets the filter bit of each position a match may be reported at (each
// kept one, and the odd one just before a kept piece) and of the position
// after it. Done once the text is back: the filter is not filled while
// sorting, when memory peaks.
void fill_filter(SuffixIndex* index, const std::vector<TextRange>& skip) {
  const unsigned char* text = index->text;
  size_t size = static_cast<size_t>(index->size);
  size_t at = 0;
  for (size_t r = 0; r <= skip.size(); r++) {
    size_t end = r < skip.size() ? skip[r].start : size;
    for (size_t i = at > 0 ? at - 1 : 0; i <= end && i + kFilterGram <= size; i++) {
      uint64_t bit = gram_bit(*index, text + i);
      index->filter[bit >> 6] |= uint64_t{1} << (bit & 63);
    }
    if (r < skip.size()) at = static_cast<size_t>(skip[r].start) + skip[r].length;
  }
}

}  // namespace

int suffix_index_build(SuffixIndex* index, const unsigned char* text, size_t size,
                       const std::vector<TextRange>& skip, SortPause pause, void* context,
                       size_t keys) {
  *index = SuffixIndex{};
  index->text = text;
  index->size = static_cast<int32_t>(size);
  if (size == 0) return OK;
  index->odd = keys >= kKeysForAll * size ? 0 : 1;
  int rc = sort_kept(index, skip, pause, context, keys);
  if (rc != OK) {
    suffix_index_free(index);
    return rc;
  }
  if (index->count > 0) fill_filter(index, skip);
  return OK;
}

void suffix_index_free(SuffixIndex* index) {
  free(index->entries);
  free(index->bucket_start);
  free(index->filter);
  index->entries = nullptr;
  index->bucket_start = nullptr;
  index->filter = nullptr;
}

namespace {

// The text position of the `i`th stored suffix.
int32_t stored_at(const SuffixIndex& index, uint32_t i) {
  uint64_t bit = static_cast<uint64_t>(i) * index.entry_bits;
  uint64_t word = load_le64(index.entries + (bit >> 3)) >> (bit & 7);
  uint32_t value = static_cast<uint32_t>(word & ((uint64_t{1} << index.entry_bits) - 1));
  return static_cast<int32_t>(value << index.odd);
}

Match search_stored(const SuffixIndex& index, const unsigned char* key, size_t key_size,
                    size_t cap) {
  Match best;
  if (index.count == 0 || key_size < 2) return best;
  uint32_t limit = static_cast<uint32_t>(std::min(key_size, cap));
  uint32_t b = prefix_row(index, key[0], key[1]);
  uint32_t lo = index.bucket_start[b], hi = index.bucket_start[b + 1];
  if (lo == hi) return best;

  // Binary search between the range's ends, keeping the common prefix of the
  // key with each end: every suffix between them shares at least the smaller
  // of the two, so the comparisons skip it (no byte is compared twice per
  // level, and a long run of equal bytes costs only `limit` per step).
  uint32_t left = lo, right = hi - 1;
  uint32_t left_len = common_prefix(index, stored_at(index, left), key, 0, limit);
  uint32_t right_len = common_prefix(index, stored_at(index, right), key, 0, limit);
  while (right - left > 1 && left_len < limit && right_len < limit) {
    uint32_t mid = left + (right - left) / 2;
    int32_t pos = stored_at(index, mid);
    uint32_t k = common_prefix(index, pos, key, std::min(left_len, right_len), limit);
    if (k == limit) return checked_match(index, pos, key, limit);
    bool suffix_smaller = pos + static_cast<int64_t>(k) == index.size || index.text[pos + k] < key[k];
    if (suffix_smaller) {
      left = mid;
      left_len = k;
    } else {
      right = mid;
      right_len = k;
    }
  }
  if (left_len >= right_len) return checked_match(index, stored_at(index, left), key, limit);
  return checked_match(index, stored_at(index, right), key, limit);
}

}  // namespace

Match suffix_index_longest_match(const SuffixIndex& index, const unsigned char* key,
                                 size_t key_size, size_t cap, MatchMemo* memo) {
  if (index.count == 0 || !may_occur(index, key, key_size)) return Match{};
  Match m = memo != nullptr && memo->key == key ? memo->stored
                                                : search_stored(index, key, key_size, cap);
  if (index.odd == 0 || key_size < 3 || cap < 2) return m;
  Match next = may_occur(index, key + 1, key_size - 1)
                   ? search_stored(index, key + 1, key_size - 1, cap)
                   : Match{};
  if (memo != nullptr) *memo = MatchMemo{key + 1, next};
  if (next.length > 0 && next.old_pos > 0 && index.text[next.old_pos - 1] == key[0] &&
      next.length + 1 > m.length)
    m = Match{next.old_pos - 1, static_cast<uint32_t>(std::min<size_t>(next.length + 1, cap))};
  return m;
}
