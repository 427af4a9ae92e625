// The patch as make-update stores it: the smallest of a few searches.
#pragma once

#include <cstddef>
#include <cstdint>

#include "delta/delta.h"
#include "delta/patch_image.h"

// Builds the patch from OLD to NEW with each of a few search settings (the
// search is sensitive to them, and the best differs from input to input), in
// format version 1 and, where `max_version` is 2 and OLD or NEW is an x86-64
// ELF file, also in version 2 with the x86-64 transform (which needs a copy
// of both and takes as long again); keeps the one that compresses smallest
// and finds its packing. On OK `image` is the caller's (patch_image_free)
// and `packing` its packing; the hook is called as by write_delta. OK,
// ERR_NO_MEMORY, or ERR_BAD_DATA as write_delta.
int make_smallest_patch(uint32_t max_version, const unsigned char* old_data, size_t old_size,
                        const unsigned char* new_data, size_t new_size, PatchImage* image,
                        PatchPacking* packing, DeltaStageHook hook = nullptr,
                        void* context = nullptr);
