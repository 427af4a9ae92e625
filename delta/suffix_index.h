// The suffix array of OLD and the longest-match search over it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Suffix array of `text` (sorted with libdivsufsort) of the suffixes at
// even positions (or all, for many keys to search) outside the left-out
// ranges, each position in as few bits as the text's size needs, and a
// table of where the suffixes of each leading prefix_bits of their first two
// bytes begin in it, so that a search starts from a range of a few suffixes
// instead of all of them.
struct SuffixIndex {
  const unsigned char* text = nullptr;  // borrowed; must outlive the index
  int32_t size = 0;                     // bytes of `text`
  unsigned char* entries = nullptr;     // owned, `count` of entry_bits each
  uint32_t entry_bits = 0;              // of a position shifted right by `odd`
  int32_t count = 0;
  uint32_t odd = 1;                     // 1: the odd positions are left out
  uint32_t* bucket_start = nullptr;     // owned, 2^prefix_bits + 1 entries
  uint32_t prefix_bits = 0;             // of the two-byte prefix that picks a row
  uint64_t* filter = nullptr;           // owned, filter_bits bits
  uint64_t filter_bits = 0;
};

// Matches shorter than kShortestSureMatch may be reported as length 0: the
// index keeps a filter of the text's kFilterGram-byte strings, and a key
// whose first ones are not there is not searched.
constexpr size_t kFilterGram = 4;
constexpr uint32_t kShortestSureMatch = kFilterGram + 1;

// A range of the text whose suffixes the index leaves out.
struct TextRange {
  uint32_t start;
  uint32_t length;
};

struct Match {
  int32_t old_pos = 0;
  uint32_t length = 0;
};

// Lets the caller let go of the text, and whatever else it holds, while the
// sort runs on a copy of what it needs: called with `away` true just before
// the sort, then with `away` false, when the text must be back at the same
// address (a mapping reads its pages in again). OK, or an error that the
// build returns.
using SortPause = int (*)(bool away, void* context);

// Builds the index of `size` bytes (size < 2^31) without the suffixes that
// start inside the `skip` ranges (increasing, non-overlapping). It sorts a
// copy of the bytes outside them, at 3.3 bytes for each (5 when there are
// keys enough for every suffix; the text may be away meanwhile), and keeps
// about 1.2 bytes for each (2.5 with every suffix) for files of a few MB.
// `keys`: about how many keys will be searched (the prefix table grows with
// them, up to 256 kB). OK, ERR_NO_MEMORY or the error `pause` returned; on
// failure nothing stays allocated. Free with suffix_index_free.
int suffix_index_build(SuffixIndex* index, const unsigned char* text, size_t size,
                       const std::vector<TextRange>& skip = {}, SortPause pause = nullptr,
                       void* context = nullptr, size_t keys = 0);
void suffix_index_free(SuffixIndex* index);

// A longest prefix of `key` (key_size bytes) that occurs in the text at a
// position the index keeps (one at an odd position is found through the even
// one after it), its length cut at `cap` so that one search costs
// at most about cap x log n byte comparisons however repetitive the text is.
// Length 0 when not even the first two bytes occur. A scan that moves on a
// byte at a time passes the same `memo` (and `cap`) to every call: the
// search for the key a byte on is then done once.
struct MatchMemo {
  const unsigned char* key = nullptr;
  Match stored;  // the match of `key` among the stored suffixes
};
Match suffix_index_longest_match(const SuffixIndex& index, const unsigned char* key,
                                 size_t key_size, size_t cap, MatchMemo* memo = nullptr);
