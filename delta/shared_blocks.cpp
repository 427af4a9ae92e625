// A table of OLD's aligned blocks by hash, and one rolling-hash pass over NEW.
#include "delta/shared_blocks.h"

#include <cstdint>
#include <cstring>

namespace {

// Long enough that a chance match of a block is rare and the table small,
// short enough that the blocks fit between the changed bytes of a new build
// (its shifted addresses and offsets).
constexpr size_t kBlock = 32;
// A cyclic polynomial (buzhash) over the bytes' random codes: rolling it a
// byte on is a rotation and two exclusive ors, a short chain from one
// position to the next where a polynomial hash needs a multiplication.
struct ByteCodes {
  uint64_t code[256];
};
constexpr ByteCodes make_codes() {
  ByteCodes codes{};
  uint64_t x = 0x9E3779B97F4A7C15ULL;
  for (uint64_t& c : codes.code) {  // splitmix64
    x += 0x9E3779B97F4A7C15ULL;
    uint64_t z = x;
    z = (z ^ z >> 30) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ z >> 27) * 0x94D049BB133111EBULL;
    c = z ^ z >> 31;
  }
  return codes;
}
constexpr ByteCodes kCodes = make_codes();

uint64_t rotate_left(uint64_t x, unsigned n) {
  return n % 64 == 0 ? x : x << n % 64 | x >> (64 - n % 64);
}

// The hash of kBlock bytes: each byte's code turned by its distance from
// the last byte.
uint64_t block_hash(const unsigned char* p) {
  uint64_t h = 0;
  for (size_t i = 0; i < kBlock; i++) h ^= rotate_left(kCodes.code[p[i]], kBlock - 1 - i);
  return h;
}

// The hash of the block a byte on: `out` leaves it, `in` joins it.
uint64_t roll(uint64_t h, unsigned char out, unsigned char in) {
  return rotate_left(h, 1) ^ rotate_left(kCodes.code[out], kBlock) ^ kCodes.code[in];
}

}  // namespace

void find_shared_blocks(const Alignment& a, std::vector<Segment>* shared, ScanPassed passed,
                        void* context) {
  shared->clear();
  size_t blocks = a.old_size / kBlock;
  if (blocks == 0 || a.new_size < kBlock) return;
  // Half full, for short probes, at 8 bytes a block. A slot holds the block
  // number + 1 (0: empty) in its low bits and the top bits of the block's
  // hash in the rest, so that a probe rarely compares a block that differs.
  const size_t slots = 2 * blocks + 1;
  std::vector<uint32_t> table(slots, 0);
  int number_bits = 1;
  while ((uint64_t{1} << number_bits) <= blocks) number_bits++;
  const uint32_t number_mask = static_cast<uint32_t>((uint64_t{1} << number_bits) - 1);
  auto tag = [&](uint64_t h) { return static_cast<uint32_t>(h >> 32) & ~number_mask; };
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
      uint32_t number = table[s] & number_mask;
      if (number == 0 || ((table[s] & ~number_mask) == tag(h) &&
                          memcmp(a.old_data + (number - 1) * kBlock, p, kBlock) == 0))
        return s;
    }
  };
  // Equal blocks share one slot (the first): chains stay short on runs of
  // zeros or padding. `first`: the block is the one its slot holds.
  std::vector<bool> first(blocks, false);
  for (size_t b = 0; b < blocks; b++) {
    const unsigned char* p = a.old_data + b * kBlock;
    uint64_t h = block_hash(p);
    size_t s = find(h, p);
    if (table[s] == 0) {
      table[s] = tag(h) | static_cast<uint32_t>(b + 1);
      first[b] = true;
    }
    uint64_t mixed = mix(h);
    filter[filter_word(mixed)] |= filter_mask(mixed);
  }

  std::vector<bool> taken(blocks, false);
  size_t pos = 0, told = 0;
  // The block (number + 1) after the one just taken: NEW mostly goes on with
  // it, which one comparison tells without hashing the next 32 bytes (when
  // it is the block its slot holds, the one the table would give).
  size_t follow = 0;
  uint64_t h = 0;
  bool hashed = false;  // h is the hash of NEW[pos, pos + kBlock)
  while (true) {
    if (passed != nullptr && pos - told >= kScanPassedStep) {
      told = pos;
      passed(told, context);
    }
    size_t b = 0;
    if (follow != 0 && follow <= blocks && first[follow - 1] && !taken[follow - 1] &&
        memcmp(a.old_data + (follow - 1) * kBlock, a.new_data + pos, kBlock) == 0) {
      b = follow;
    } else {
      if (!hashed) h = block_hash(a.new_data + pos);
      hashed = true;
      uint64_t mixed = mix(h), mask = filter_mask(mixed);
      if ((filter[filter_word(mixed)] & mask) == mask)
        b = table[find(h, a.new_data + pos)] & number_mask;
    }
    follow = 0;
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
      follow = b + 1;
      hashed = false;
      continue;
    }
    if (pos + kBlock >= a.new_size) break;
    h = roll(h, a.new_data[pos], a.new_data[pos + kBlock]);
    pos++;
  }
}
