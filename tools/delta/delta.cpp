// The generator's stages, one after the other; the suffix array is freed
// before the patch is encoded so the two never add up.
#include "tools/delta/delta.h"

#include <new>
#include <vector>

#include "base/status.h"
#include "tools/delta/segment_search.h"
#include "tools/delta/suffix_index.h"

int make_delta(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
               size_t new_size, PatchImage* image, DeltaStageHook hook, void* context) {
  *image = PatchImage{};
  if (old_size >= kDeltaMaxInput || new_size >= kDeltaMaxInput) return ERR_BAD_DATA;
  Alignment a{old_data, old_size, new_data, new_size};

  SuffixIndex index;
  int rc = suffix_index_build(&index, old_data, old_size);
  if (rc != OK) return rc;
  if (hook) hook("suffix sort", context);

  std::vector<Segment> segments;
  try {
    find_segments(index, a, &segments);
  } catch (const std::bad_alloc&) {
    rc = ERR_NO_MEMORY;
  }
  suffix_index_free(&index);
  if (rc != OK) return rc;
  if (hook) hook("match search", context);

  rc = encode_patch(a, segments, image);
  if (rc == OK && hook) hook("encode", context);
  return rc;
}
