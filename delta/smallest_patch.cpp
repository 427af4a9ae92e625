// Trying several search settings: each search takes a fraction of the time
// of the packing, so a handful of them cost little more than one.
#include "delta/smallest_patch.h"

#include <cstdint>

#include "archive/writer.h"
#include "base/status.h"

namespace {

// Each wins on some inputs: the defaults; giving a segment up sooner, with
// a lower bar for a new one (tables of small changes); a higher bar for
// chance matches (a NEW largely unlike OLD); and two that move between
// alignments more readily.
const SearchSettings kTried[] = {
    SearchSettings{},
    [] { SearchSettings s; s.give_up_drop = 2; s.min_score = 20; return s; }(),
    [] { SearchSettings s; s.min_score = 48; s.min_probe = 5; return s; }(),
    [] { SearchSettings s; s.give_up_drop = 2; s.min_probe = 8; return s; }(),
    [] { SearchSettings s; s.switch_margin = 6; return s; }(),
};
constexpr size_t kTriedCount = sizeof kTried / sizeof kTried[0];

// What a patch takes in a package, nearly: its three blocks compressed
// apart, as the packing mostly ends up.
int64_t estimated_size(const PatchImage& image) {
  size_t bounds[4] = {0, image.block_starts[0], image.block_starts[1], image.size};
  int64_t total = 0;
  for (int b = 0; b < 3; b++) {
    int64_t size = bzip2_compressed_size(image.data + bounds[b], bounds[b + 1] - bounds[b]);
    if (size < 0) return -1;
    total += size;
  }
  return total;
}

struct Choice {
  PatchImage best;
  int64_t best_size = INT64_MAX;
};

int keep_smaller(PatchImage* image, size_t, void* context) {
  Choice* choice = static_cast<Choice*>(context);
  int64_t size = estimated_size(*image);
  if (size < 0) {
    patch_image_free(image);
    return ERR_NO_MEMORY;
  }
  if (size < choice->best_size) {
    patch_image_free(&choice->best);
    choice->best = *image;
    choice->best_size = size;
  } else {
    patch_image_free(image);
  }
  return OK;
}

}  // namespace

int make_smallest_patch(const unsigned char* old_data, size_t old_size,
                        const unsigned char* new_data, size_t new_size, PatchImage* image,
                        PatchPacking* packing, DeltaStageHook hook, void* context) {
  *image = PatchImage{};
  Choice choice;
  int rc = make_deltas(old_data, old_size, new_data, new_size, kTried, kTriedCount, keep_smaller,
                       &choice, hook, context);
  if (rc != OK) {
    patch_image_free(&choice.best);
    return rc;
  }
  *packing = patch_packing(choice.best);
  if (packing->size < 0) {
    patch_image_free(&choice.best);
    return ERR_NO_MEMORY;
  }
  *image = choice.best;
  return OK;
}
