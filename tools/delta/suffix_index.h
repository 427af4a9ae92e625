// The suffix array of OLD and the longest-match search over it.
#pragma once

#include <cstddef>
#include <cstdint>

// Suffix array of `text` (sorted with libdivsufsort, 32-bit positions) and a
// table of where each two-byte prefix begins in it, so that a search starts
// from a range of about n / 65536 suffixes instead of all n.
struct SuffixIndex {
  const unsigned char* text = nullptr;  // borrowed; must outlive the index
  int32_t size = 0;
  int32_t* sa = nullptr;                // owned, `size` entries
  uint32_t* bucket_start = nullptr;     // owned, 65537 entries
};

struct Match {
  int32_t old_pos = 0;
  uint32_t length = 0;
};

// Builds the index of `size` bytes (size < 2^31). OK or ERR_NO_MEMORY; on
// failure nothing stays allocated. Free with suffix_index_free.
int suffix_index_build(SuffixIndex* index, const unsigned char* text, size_t size);
void suffix_index_free(SuffixIndex* index);

// A longest prefix of `key` (key_size bytes) that occurs in the text, its
// length cut at `cap` so that one search costs at most about cap x log n byte
// comparisons however repetitive the text is. Length 0 when not even the
// first two bytes occur.
Match suffix_index_longest_match(const SuffixIndex& index, const unsigned char* key,
                                 size_t key_size, size_t cap);
