// The patch generator shared by zqdiff and make-update: finds how NEW is
// made of OLD and encodes it in the updater's patch format.
#pragma once

#include <cstddef>

#include "tools/delta/patch_image.h"

// Called after each stage ("suffix sort", "match search", "encode") with the
// caller's `context`, for progress and --verbose figures.
using DeltaStageHook = void (*)(const char* stage, void* context);

// Files of this size or more cannot be patched: the format's seeks are
// signed 32-bit and the suffix array is 32-bit.
constexpr size_t kDeltaMaxInput = size_t{1} << 31;

// Builds the patch from `old_size` bytes at `old_data` to `new_size` bytes at
// `new_data` into `image` (the caller frees it with patch_image_free). Memory
// at its peak about 5 x old_size + 2 x new_size bytes. OK, ERR_NO_MEMORY, or
// ERR_BAD_DATA when an input reaches kDeltaMaxInput or the patch 4 GiB.
int make_delta(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
               size_t new_size, PatchImage* image, DeltaStageHook hook = nullptr,
               void* context = nullptr);
