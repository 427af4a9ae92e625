// The patch generator shared by zqdiff and make-update: finds how NEW is
// made of OLD and encodes it in the updater's patch format.
#pragma once

#include <cstddef>

#include "delta/patch_image.h"
#include "delta/segment_search.h"

// Called after each stage ("suffix sort", "match search", "encode") with the
// caller's `context`, for progress and --verbose figures.
using DeltaStageHook = void (*)(const char* stage, void* context);

// Lets the caller let go of both inputs while OLD is suffix sorted from a
// copy of what the search needs of it (a SortPause): called with `away`
// true, then with `away` false, when both must be back at the same
// addresses. OK, or an error that write_delta returns.
using DeltaPause = SortPause;

// Files of this size or more cannot be patched: the format's seeks are
// signed 32-bit and the suffix array is 32-bit.
constexpr size_t kDeltaMaxInput = size_t{1} << 31;

// Builds the patch from `old_size` bytes at `old_data` to `new_size` bytes at
// `new_data` (as `form`'s transform rewrote them, see patch_form) with the
// default search settings and hands it to `emit` as it is encoded
// (emit_patch), never whole. Memory at its peak: while sorting,
// old_size + new_size plus 3.3 bytes (5 when NEW is many times OLD) for
// each byte of OLD that NEW does not hold in whole blocks (with `pause`,
// only those bytes: the inputs are away then); while searching,
// old_size + new_size plus about 1.5 to 3 bytes for each of them. OK,
// ERR_NO_MEMORY, ERR_BAD_DATA when an input reaches kDeltaMaxInput or the
// patch 4 GiB, or the error `pause` or `emit` returned. `passed`, with
// `pause_context`, is told as each scan over NEW (for shared blocks, then
// the search) moves on that the scan reads no byte of NEW before a point any
// more: a caller that maps NEW may let those pages go, to be read again by
// the next scan or the encoding.
int write_delta(const PatchHeader& form, const unsigned char* old_data, size_t old_size,
                const unsigned char* new_data, size_t new_size, PatchEmit emit, void* emit_context,
                DeltaStageHook hook = nullptr, void* context = nullptr,
                DeltaPause pause = nullptr, void* pause_context = nullptr,
                ScanPassed passed = nullptr);

// Takes one patch of make_deltas, the `which`th of its settings, and owns it
// from then on (also when it fails). OK, or an error that make_deltas returns.
using DeltaSink = int (*)(PatchImage* image, size_t which, void* context);

// The patch with each of `count` settings, from one sort of OLD, encoded
// whole (encode_patch, with `form`): hands each to `sink` in the settings'
// order, except one whose segments an earlier setting already gave. The segments of all
// are found before the first is encoded, so memory peaks as write_delta's
// without a pause, plus a patch or two. OK, or write_delta's and `sink`'s
// errors.
int make_deltas(const PatchHeader& form, const unsigned char* old_data, size_t old_size,
                const unsigned char* new_data, size_t new_size, const SearchSettings* settings,
                size_t count, DeltaSink sink, void* sink_context, DeltaStageHook hook = nullptr,
                void* context = nullptr);
