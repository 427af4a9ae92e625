// The generator's stages, one after the other; the suffix array is freed
// before the patch is encoded so the two never add up.
#include "delta/delta.h"

#include <algorithm>
#include <new>
#include <vector>

#include "base/status.h"
#include "delta/segment_search.h"
#include "delta/shared_blocks.h"
#include "delta/suffix_index.h"

namespace {

// Takes the segments found with the `which`th setting, to encode them.
using SegmentSink = int (*)(const Alignment& a, const std::vector<Segment>& segments,
                            size_t which, void* context);

// What a relay needs to encode a patch for its sink.
struct Relay {
  const PatchHeader* form;
  DeltaSink sink;
  PatchEmit emit;
  void* context;
};

// The generator's stages with the segments of each of `count` settings, all
// from one sort, handed to `sink` (except those an earlier setting gave).
int build_patches(Alignment a, const SearchSettings* settings, size_t count, SegmentSink sink,
                  void* sink_context, DeltaStageHook hook, void* context, DeltaPause pause,
                  void* pause_context, ScanPassed passed) {
  if (a.old_size >= kDeltaMaxInput || a.new_size >= kDeltaMaxInput) return ERR_BAD_DATA;
  std::vector<Segment> shared;
  std::vector<TextRange> skip;
  try {
    find_shared_blocks(a, &shared, passed, pause_context);
    skip.reserve(shared.size());
    for (const Segment& s : shared) skip.push_back(TextRange{s.old_start, s.length});
  } catch (const std::bad_alloc&) {
    return ERR_NO_MEMORY;
  }
  if (hook) hook("shared blocks", context);
  std::sort(skip.begin(), skip.end(),
            [](const TextRange& x, const TextRange& y) { return x.start < y.start; });
  SuffixIndex index;
  int rc = suffix_index_build(&index, a.old_data, a.old_size, skip, pause, pause_context,
                              a.new_size);
  if (rc != OK) return rc;
  std::vector<TextRange>().swap(skip);  // not held while searching, when memory peaks
  if (hook) hook("suffix sort", context);

  std::vector<std::vector<Segment>> segments;
  try {
    segments.resize(count);
    for (size_t i = 0; i < count; i++)
      find_segments(index, shared, a, settings[i], &segments[i], count == 1 ? passed : nullptr,
                    pause_context);
  } catch (const std::bad_alloc&) {
    rc = ERR_NO_MEMORY;
  }
  suffix_index_free(&index);
  if (rc != OK) return rc;
  if (hook) hook("match search", context);

  for (size_t i = 0; i < count && rc == OK; i++) {
    if (std::find(segments.begin(), segments.begin() + i, segments[i]) != segments.begin() + i)
      continue;
    rc = sink(a, segments[i], i, sink_context);
  }
  if (rc == OK && hook) hook("encode", context);
  return rc;
}

int relay_image(const Alignment& a, const std::vector<Segment>& segments, size_t which,
                void* context) {
  Relay* relay = static_cast<Relay*>(context);
  PatchImage image;
  int rc = encode_patch(a, *relay->form, segments, &image);
  return rc == OK ? relay->sink(&image, which, relay->context) : rc;
}

int relay_emit(const Alignment& a, const std::vector<Segment>& segments, size_t, void* context) {
  Relay* relay = static_cast<Relay*>(context);
  return emit_patch(a, *relay->form, segments, relay->emit, relay->context);
}

}  // namespace

int make_deltas(const PatchHeader& form, const unsigned char* old_data, size_t old_size,
                const unsigned char* new_data, size_t new_size, const SearchSettings* settings,
                size_t count, DeltaSink sink, void* sink_context, DeltaStageHook hook,
                void* context) {
  Relay relay{&form, sink, nullptr, sink_context};
  return build_patches(Alignment{old_data, old_size, new_data, new_size}, settings, count,
                       relay_image, &relay, hook, context, nullptr, nullptr, nullptr);
}

int write_delta(const PatchHeader& form, const unsigned char* old_data, size_t old_size,
                const unsigned char* new_data, size_t new_size, PatchEmit emit, void* emit_context,
                DeltaStageHook hook, void* context, DeltaPause pause, void* pause_context,
                ScanPassed passed) {
  Relay relay{&form, nullptr, emit, emit_context};
  SearchSettings settings;
  return build_patches(Alignment{old_data, old_size, new_data, new_size}, &settings, 1,
                       relay_emit, &relay, hook, context, pause, pause_context, passed);
}
