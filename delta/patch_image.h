// A patch file image in memory, and its encoding from chosen segments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "delta/segment_search.h"
#include "patch/patch_format.h"

// Owns `data` (malloc'ed); patch_image_free releases it.
struct PatchImage {
  unsigned char* data = nullptr;
  size_t size = 0;
  size_t block_starts[2] = {0, 0};  // offsets of the diff and the extra block
};
void patch_image_free(PatchImage* image);

// How a patch is laid into a package entry: one bzip2 stream whose
// compression blocks end at `cuts`.
struct PatchPacking {
  std::vector<size_t> cuts;
  int64_t size = -1;  // the entry's compressed size; -1: out of memory
};

// Applies the patch as the updater does (LoadSourceFile, then apply_patch)
// to `old_size` bytes at `old_data` and compares the result with `new_size`
// bytes at `new_data`, both the files themselves: version 1 carries no check
// of the result, so a fault in the generator would otherwise reach every
// installation unnoticed. OK when it rebuilds NEW exactly, ERR_BAD_DATA when
// not, ERR_NO_MEMORY or ERR_READ.
int verify_patch(const PatchImage& image, const unsigned char* old_data, size_t old_size,
                 const unsigned char* new_data, size_t new_size);

// The smallest packing found. Control triples, diff bytes (mostly zeros)
// and extra bytes compress best with Huffman tables of their own, and a long
// diff block often better in shorter blocks that follow its changing mix
// (code, tables, data); but each block costs its tables, which a small patch
// does not win back. Compresses each part of the patch some dozens of times
// over (the diff block is mostly zeros, which bzip2 takes quickly).
PatchPacking patch_packing(const PatchImage& image);

// The header of a patch from OLD to NEW (the files themselves, as they are
// installed) before its result and block sizes: `version`, the size and CRC
// of OLD, and for version 2 `transform` and the CRC of NEW.
PatchHeader patch_form(uint32_t version, uint32_t transform, const unsigned char* old_data,
                       size_t old_size, const unsigned char* new_data, size_t new_size);

// A copy of `size` bytes at `data` as `form`'s transform rewrites them, to be
// compared in its place: *copy (malloc'ed, transform_room bytes; the caller
// frees it, also after a failure) of *copy_size bytes. OK or ERR_NO_MEMORY.
int transformed_copy(const PatchHeader& form, const unsigned char* data, size_t size,
                     unsigned char** copy, size_t* copy_size);

// Encodes the patch that turns a.old_data into a.new_data (as `form`'s
// transform rewrote them) through `segments` (as find_segments leaves them):
// `form` with the result and block sizes, one triple per segment (plus one for NEW bytes
// before the first), the diff block and the extra block. OK, ERR_NO_MEMORY,
// or ERR_BAD_DATA when the patch would reach 4 GiB (nothing allocated).
int encode_patch(const Alignment& a, const PatchHeader& form, const std::vector<Segment>& segments,
                 PatchImage* image);

// Takes the encoded patch a piece at a time, in order: OK, or an error that
// stops the encoding and is returned by it.
using PatchEmit = int (*)(const unsigned char* bytes, size_t size, void* context);

// encode_patch's bytes handed to `emit` as they are made, through a chunk of
// 64 kB, instead of kept whole: the patch need not fit in memory beside OLD
// and NEW. OK, ERR_BAD_DATA as encode_patch, or the error `emit` returned.
int emit_patch(const Alignment& a, const PatchHeader& form, const std::vector<Segment>& segments,
               PatchEmit emit, void* context);
