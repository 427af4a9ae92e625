// A patch file image in memory, and its encoding from chosen segments.
#pragma once

#include <cstddef>
#include <vector>

#include "tools/delta/segment_search.h"

// Owns `data` (malloc'ed); patch_image_free releases it.
struct PatchImage {
  unsigned char* data = nullptr;
  size_t size = 0;
};
void patch_image_free(PatchImage* image);

// Encodes the patch that turns a.old_data into a.new_data through
// `segments` (as find_segments leaves them): header with sizes and the CRC of
// OLD, one triple per segment (plus one for NEW bytes before the first), the
// diff block and the extra block. OK or ERR_NO_MEMORY (nothing allocated).
int encode_patch(const Alignment& a, const std::vector<Segment>& segments, PatchImage* image);
