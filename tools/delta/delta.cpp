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

// make_delta with a patch for each of `count` settings, all from one sort.
int build_patches(Alignment a, const SearchSettings* settings, size_t count, DeltaSink sink,
                  void* sink_context, DeltaStageHook hook, void* context, DeltaPause pause,
                  void* pause_context) {
  if (a.old_size >= kDeltaMaxInput || a.new_size >= kDeltaMaxInput) return ERR_BAD_DATA;
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
  int rc = suffix_index_build(&index, a.old_data, a.old_size, skip,
                              pause ? relay_pause : nullptr, &relay);
  if (rc != OK) return rc;
  if (hook) hook("suffix sort", context);

  std::vector<std::vector<Segment>> segments;
  try {
    segments.resize(count);
    for (size_t i = 0; i < count; i++) find_segments(index, shared, a, settings[i], &segments[i]);
  } catch (const std::bad_alloc&) {
    rc = ERR_NO_MEMORY;
  }
  suffix_index_free(&index);
  if (rc != OK) return rc;
  if (hook) hook("match search", context);

  for (size_t i = 0; i < count && rc == OK; i++) {
    if (std::find(segments.begin(), segments.begin() + i, segments[i]) != segments.begin() + i)
      continue;
    PatchImage image;
    rc = encode_patch(a, segments[i], &image);
    if (rc == OK) rc = sink(&image, i, sink_context);
  }
  if (rc == OK && hook) hook("encode", context);
  return rc;
}

int keep_image(PatchImage* image, size_t, void* context) {
  *static_cast<PatchImage*>(context) = *image;
  return OK;
}

}  // namespace

int make_delta(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
               size_t new_size, PatchImage* image, DeltaStageHook hook, void* context,
               DeltaPause pause, void* pause_context, const SearchSettings& settings) {
  *image = PatchImage{};
  return build_patches(Alignment{old_data, old_size, new_data, new_size}, &settings, 1, keep_image,
                       image, hook, context, pause, pause_context);
}

int make_deltas(const unsigned char* old_data, size_t old_size, const unsigned char* new_data,
                size_t new_size, const SearchSettings* settings, size_t count, DeltaSink sink,
                void* sink_context, DeltaStageHook hook, void* context) {
  return build_patches(Alignment{old_data, old_size, new_data, new_size}, settings, count, sink,
                       sink_context, hook, context, nullptr, nullptr);
}
