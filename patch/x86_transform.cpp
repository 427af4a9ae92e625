// The two x86-64 transforms, over the fields that x86_elf_fields finds.
#include "patch/x86_transform.h"

#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "base/byte_order.h"
#include "base/status.h"
#include "patch/x86_fields.h"

namespace {

void to_absolute(unsigned char* field, uint32_t next, void*) {
  store_le32(field, load_le32(field) + next);
}

void to_relative(unsigned char* field, uint32_t next, void*) {
  store_le32(field, load_le32(field) - next);
}

// Every field's absolute target and position, as numbers that sort by
// target, then by position.
struct Targets {
  const unsigned char* data;
  uint64_t* items = nullptr;  // malloc'ed
  size_t count = 0, room = 0;
  bool failed = false;
};

void collect(unsigned char* field, uint32_t next, void* context) {
  Targets* t = static_cast<Targets*>(context);
  if (t->failed) return;
  if (t->count == t->room) {
    size_t room = t->room > 0 ? t->room * 2 : 4096;
    uint64_t* grown = static_cast<uint64_t*>(realloc(t->items, room * sizeof *grown));
    if (grown == nullptr) {
      t->failed = true;
      return;
    }
    t->items = grown;
    t->room = room;
  }
  uint32_t target = load_le32(field) + next;
  t->items[t->count++] = uint64_t{target} << 32 | static_cast<uint64_t>(field - t->data);
}

// The targets a table holds, and whether a field named one it lacks.
struct Table {
  const uint32_t* targets;
  uint32_t count;
  bool failed = false;
};

void restore(unsigned char* field, uint32_t next, void* context) {
  Table* table = static_cast<Table*>(context);
  uint32_t index = load_le32(field);
  if (index >= table->count) {
    table->failed = true;
    return;
  }
  store_le32(field, table->targets[index] - next);
}

// Sorts the `count` items by target, keeping equal targets in the order of
// their positions (which the walk gave increasing): a byte of the target at
// a time, through `spare` of the same size. Several times as fast as a
// comparison sort, and the applier sorts every file it transforms.
void sort_by_target(uint64_t* items, uint64_t* spare, size_t count) {
  for (int shift = 32; shift < 64; shift += 8) {
    size_t starts[257] = {};
    for (size_t k = 0; k < count; k++) starts[((items[k] >> shift) & 0xFF) + 1]++;
    for (int b = 1; b <= 256; b++) starts[b] += starts[b - 1];
    for (size_t k = 0; k < count; k++) spare[starts[(items[k] >> shift) & 0xFF]++] = items[k];
    std::swap(items, spare);  // four passes: the last lands in the caller's `items`
  }
}

constexpr size_t kTrailerSize = 8;  // the count and the bytes of the numbers
constexpr size_t kLongestNumber = 5;  // LEB128 bytes of a 32-bit number

}  // namespace

void x86_elf_transform(unsigned char* data, size_t size) {
  x86_elf_fields(data, size, to_absolute, nullptr);
}

void x86_elf_untransform(unsigned char* data, size_t size) {
  x86_elf_fields(data, size, to_relative, nullptr);
}

int x86_elf_index(unsigned char* data, size_t* size, size_t room) {
  assert(*size <= UINT32_MAX);  // positions fit 32 bits: the format's limit
  Targets t{data};
  x86_elf_fields(data, *size, collect, &t);
  uint64_t* spare = static_cast<uint64_t*>(malloc(t.count * sizeof *spare + 1));
  if (spare == nullptr) t.failed = true;
  if (!t.failed) sort_by_target(t.items, spare, t.count);
  free(spare);
  size_t distinct = 0;
  for (size_t k = 0; k < t.count; k++)
    distinct += k == 0 || t.items[k] >> 32 != t.items[k - 1] >> 32;
  if (t.failed || room < *size + distinct * kLongestNumber + kTrailerSize) {
    free(t.items);
    return ERR_NO_MEMORY;
  }

  // The fields get their ranks; the distinct targets go after the file,
  // each as its distance from the one before (the first from 0).
  unsigned char* out = data + *size;
  uint32_t rank = 0, previous = 0;
  for (size_t k = 0; k < t.count; k++) {
    uint32_t target = static_cast<uint32_t>(t.items[k] >> 32);
    if (k == 0 || target != previous) {
      rank += k > 0;
      uint32_t rest = target - previous;
      for (; rest >= 0x80; rest >>= 7) *out++ = static_cast<unsigned char>(rest | 0x80);
      *out++ = static_cast<unsigned char>(rest);
      previous = target;
    }
    store_le32(data + static_cast<uint32_t>(t.items[k]), rank);
  }
  free(t.items);
  size_t numbers = static_cast<size_t>(out - (data + *size));
  store_le32(out, static_cast<uint32_t>(distinct));
  store_le32(out + 4, static_cast<uint32_t>(numbers));
  *size += numbers + kTrailerSize;
  return OK;
}

int x86_elf_unindex(unsigned char* data, size_t* size) {
  if (*size < kTrailerSize) return ERR_BAD_DATA;
  uint32_t count = load_le32(data + *size - kTrailerSize);
  uint32_t numbers = load_le32(data + *size - 4);
  // Every number takes a byte at least.
  if (numbers > *size - kTrailerSize || count > numbers) return ERR_BAD_DATA;
  size_t file_size = *size - kTrailerSize - numbers;
  uint32_t* targets = static_cast<uint32_t*>(malloc(count > 0 ? count * sizeof *targets : 1));
  if (targets == nullptr) return ERR_NO_MEMORY;

  const unsigned char* in = data + file_size;
  const unsigned char* end = in + numbers;
  uint32_t target = 0;
  bool good = true;
  for (uint32_t k = 0; k < count && good; k++) {
    uint64_t value = 0;
    for (int shift = 0;; shift += 7) {
      good = in < end && shift < 35;
      if (!good) break;
      value |= uint64_t{*in & 0x7Fu} << shift;
      if ((*in++ & 0x80) == 0) break;
    }
    good = good && value <= UINT32_MAX;
    target += static_cast<uint32_t>(value);
    targets[k] = target;
  }
  Table table{targets, count};
  if (good && in == end) x86_elf_fields(data, file_size, restore, &table);
  free(targets);
  if (!good || in != end || table.failed) return ERR_BAD_DATA;
  *size = file_size;
  return OK;
}
