// The patch generator shared by zqdiff and make-update: finds how NEW is
// made of OLD and encodes it in the updater's patch format.
#pragma once

#include <cstddef>

#include "tools/delta/patch_image.h"

// Called after each stage ("suffix sort", "match search", "encode") with the
// caller's `context`, for progress and --verbose figures.
using DeltaStageHook = void (*)(const char* stage, void* context);

// Lets the caller free both inputs while OLD is suffix sorted from a copy
// of what the search needs of it: called with `away` true, then with `away`
// false, when *old_data and *new_data must point to the same bytes again
// (read again, say). OK, or an error that make_delta returns.
using DeltaPause = int (*)(bool away, const unsigned char** old_data,
                           const unsigned char** new_data, void* context);

// Files of this size or more cannot be patched: the format's seeks are
// signed 32-bit and the suffix array is 32-bit.
constexpr size_t kDeltaMaxInput = size_t{1} << 31;

// Builds the patch from `old_size` bytes at `old_data` to `new_size` bytes at
// `new_data` into `image` (the caller frees it with patch_image_free). Memory
// at its peak about 6 x old_size + new_size bytes while sorting (with
// `pause`, 5 x old_size: the inputs are away then; either less by 5 for each
// byte of OLD that NEW holds in whole blocks), 3 x old_size + new_size while
// searching, old_size + 2 x new_size while encoding. OK, ERR_NO_MEMORY,
// ERR_BAD_DATA when an input reaches kDeltaMaxInput or the patch 4 GiB, or
// what `pause` returned.
int make_delta(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
               size_t new_size, PatchImage* image, DeltaStageHook hook = nullptr,
               void* context = nullptr, DeltaPause pause = nullptr,
               void* pause_context = nullptr, const SearchSettings& settings = SearchSettings{});

// Takes one patch of make_deltas, the `which`th of its settings, and owns it
// from then on (also when it fails). OK, or an error that make_deltas returns.
using DeltaSink = int (*)(PatchImage* image, size_t which, void* context);

// make_delta once for each of `count` settings, from one sort of OLD: hands
// each patch to `sink` in the settings' order, except one whose segments
// an earlier setting already gave. The segments of all are found before
// the first is encoded, so memory peaks as make_delta's without a pause.
// OK, or make_delta's and `sink`'s errors.
int make_deltas(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
                size_t new_size, const SearchSettings* settings, size_t count, DeltaSink sink,
                void* sink_context, DeltaStageHook hook = nullptr, void* context = nullptr);

// make_delta that hands the patch to `emit` as it is encoded (emit_patch)
// instead of keeping it whole: memory at its peak lower by about the
// patch's size. OK, make_delta's errors, or the error `emit` returned.
int write_delta(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
                size_t new_size, PatchEmit emit, void* emit_context,
                DeltaStageHook hook = nullptr, void* context = nullptr,
                DeltaPause pause = nullptr, void* pause_context = nullptr);
