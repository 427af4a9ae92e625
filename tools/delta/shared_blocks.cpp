// A table of OLD's aligned blocks by hash, and one rolling-hash pass over NEW.
#include "tools/delta/shared_blocks.h"

#include <cstdint>
#include <cstring>

namespace {

// Long enough that a chance match of a block is rare and the table small,
// short enough that the blocks fit between the changed bytes of a new build
// (its shifted addresses and offsets).
constexpr size_t kBlock = 32;
constexpr uint64_t kBase = 0x100000001b3ULL;

uint64_t block_hash(const unsigned char* p) {
  uint64_t h = 0;
  for (size_t i = 0; i < kBlock; i++) h = h * kBase + p[i];
  return h;
}

struct Slot {
  uint32_t check;  // the hash's low half
  uint32_t block;  // block number + 1; 0: empty
};

}  // namespace

void find_shared_blocks(const Alignment& a, std::vector<Segment>* shared) {
  shared->clear();
  size_t blocks = a.old_size / kBlock;
  if (blocks == 0 || a.new_size < kBlock) return;
  // Half full: short probes, and 4 bytes a block.
  const size_t slots = 2 * blocks + 1;
  std::vector<Slot> table(slots, Slot{0, 0});
  // Two bits of one word set for each block, 16 bits a block, small enough
  // to stay in the cache: all but about 2% of the positions of NEW that start
  // no block of OLD stop here, not at a slot of the table, a cache miss.
  size_t words = 1;
  while (words * 64 < 16 * blocks) words <<= 1;
  std::vector<uint64_t> filter(words, 0);
  auto mix = [](uint64_t h) { return (h ^ h >> 29) * 0x9E3779B97F4A7C15ULL; };
  auto filter_word = [&](uint64_t mixed) { return (mixed >> 20) & (words - 1); };
  auto filter_mask = [](uint64_t mixed) {
    return uint64_t{1} << (mixed >> 58) | uint64_t{1} << ((mixed >> 52) & 63);
  };
  auto find = [&](uint64_t h, const unsigned char* p) -> size_t {
    uint64_t mixed = mix(h);
    size_t s = static_cast<size_t>((static_cast<unsigned __int128>(mixed) * slots) >> 64);
    for (;; s = s + 1 == slots ? 0 : s + 1) {
      if (table[s].block == 0) return s;
      if (table[s].check == static_cast<uint32_t>(h) &&
          memcmp(a.old_data + (table[s].block - 1) * kBlock, p, kBlock) == 0)
        return s;
    }
  };
  // Equal blocks share one slot (the first): chains stay short on runs of
  // zeros or padding.
  for (size_t b = 0; b < blocks; b++) {
    const unsigned char* p = a.old_data + b * kBlock;
    uint64_t h = block_hash(p);
    size_t s = find(h, p);
    if (table[s].block == 0) table[s] = Slot{static_cast<uint32_t>(h), static_cast<uint32_t>(b + 1)};
    uint64_t mixed = mix(h);
    filter[filter_word(mixed)] |= filter_mask(mixed);
  }

  uint64_t top = 1;  // kBase^(kBlock - 1), to drop the byte leaving the window
  for (size_t i = 1; i < kBlock; i++) top *= kBase;
  std::vector<bool> taken(blocks, false);
  size_t pos = 0;
  uint64_t h = block_hash(a.new_data);
  while (true) {
    uint64_t mixed = mix(h), mask = filter_mask(mixed);
    size_t b = 0;
    if ((filter[filter_word(mixed)] & mask) == mask) b = table[find(h, a.new_data + pos)].block;
    if (b != 0 && !taken[b - 1]) {
      taken[b - 1] = true;
      size_t old_start = (b - 1) * kBlock;
      if (!shared->empty() && shared->back().new_start + shared->back().length == pos &&
          shared->back().old_start + shared->back().length == old_start) {
        shared->back().length += kBlock;
      } else {
        shared->push_back(Segment{static_cast<uint32_t>(pos), static_cast<uint32_t>(old_start),
                                  static_cast<uint32_t>(kBlock)});
      }
      pos += kBlock;
      if (pos + kBlock > a.new_size) break;
      h = block_hash(a.new_data + pos);
      continue;
    }
    if (pos + kBlock >= a.new_size) break;
    h = (h - a.new_data[pos] * top) * kBase + a.new_data[pos + kBlock];
    pos++;
  }
}
