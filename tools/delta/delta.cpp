// The generator's stages, one after the other; the suffix array is freed
// before the patch is encoded so the two never add up.
#include "tools/delta/delta.h"

#include <algorithm>
#include <new>
#include <vector>

#include "base/status.h"
#include "tools/delta/segment_search.h"
#include "tools/delta/shared_blocks.h"
#include "tools/delta/suffix_index.h"

namespace {

struct PauseRelay {
  Alignment* a;
  DeltaPause pause;
  void* context;
};

// The sort's pause, passed on with NEW too.
int relay_pause(bool away, const unsigned char** text, void* context) {
  PauseRelay* relay = static_cast<PauseRelay*>(context);
  int rc = relay->pause(away, text, &relay->a->new_data, relay->context);
  relay->a->old_data = *text;
  return rc;
}

}  // namespace

int make_delta(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
               size_t new_size, PatchImage* image, DeltaStageHook hook, void* context,
               DeltaPause pause, void* pause_context) {
  *image = PatchImage{};
  if (old_size >= kDeltaMaxInput || new_size >= kDeltaMaxInput) return ERR_BAD_DATA;
  Alignment a{old_data, old_size, new_data, new_size};

  std::vector<Segment> shared;
  std::vector<TextRange> skip;
  try {
    find_shared_blocks(a, &shared);
    skip.reserve(shared.size());
    for (const Segment& s : shared) skip.push_back(TextRange{s.old_start, s.length});
  } catch (const std::bad_alloc&) {
    return ERR_NO_MEMORY;
  }
  if (hook) hook("shared blocks", context);
  std::sort(skip.begin(), skip.end(),
            [](const TextRange& x, const TextRange& y) { return x.start < y.start; });
  SuffixIndex index;
  PauseRelay relay{&a, pause, pause_context};
  int rc = suffix_index_build(&index, old_data, old_size, skip, pause ? relay_pause : nullptr,
                              &relay);
  if (rc != OK) return rc;
  if (hook) hook("suffix sort", context);

  std::vector<Segment> segments;
  try {
    find_segments(index, shared, a, &segments);
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
