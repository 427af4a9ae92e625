// Trying several search settings: each search takes a fraction of the time
// of the packing, so a handful of them cost little more than one.
#include "delta/smallest_patch.h"

#include <cstdint>
#include <cstdlib>
#include <utility>

#include "archive/writer.h"
#include "base/status.h"
#include "patch/x86_fields.h"

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

// Packs the patch of `choice` and keeps it in *image when it packs smaller
// than what *image holds (which it then frees); frees it otherwise. OK or
// ERR_NO_MEMORY.
int keep_packed(Choice* choice, PatchImage* image, PatchPacking* packing) {
  PatchPacking p = patch_packing(choice->best);
  if (p.size < 0) {
    patch_image_free(&choice->best);
    return ERR_NO_MEMORY;
  }
  if (image->data != nullptr && p.size >= packing->size) {
    patch_image_free(&choice->best);
    return OK;
  }
  patch_image_free(image);
  *image = choice->best;
  *packing = std::move(p);
  choice->best = PatchImage{};
  return OK;
}

}  // namespace

int make_smallest_patch(uint32_t max_version, const unsigned char* old_data, size_t old_size,
                        const unsigned char* new_data, size_t new_size, PatchImage* image,
                        PatchPacking* packing, DeltaStageHook hook, void* context) {
  *image = PatchImage{};
  Choice plain, transformed;
  PatchHeader form = patch_form(1, kTransformNone, old_data, old_size, new_data, new_size);
  int rc = make_deltas(form, old_data, old_size, new_data, new_size, kTried, kTriedCount,
                       keep_smaller, &plain, hook, context);
  if (rc == OK) rc = keep_packed(&plain, image, packing);
  // Without an x86-64 file the transforms change nothing: version 2 would
  // be version 1 with a longer header. With one, both transforms are tried
  // and the better one packed against version 1, so that version 2 is kept
  // only where it is smaller in the package.
  bool x86 = is_x86_64_elf(old_data, old_size) || is_x86_64_elf(new_data, new_size);
  for (uint32_t transform : {kTransformX86Elf, kTransformX86ElfIndexed}) {
    if (rc != OK || max_version < 2 || !x86) break;
    form = patch_form(2, transform, old_data, old_size, new_data, new_size);
    unsigned char* copies[2] = {nullptr, nullptr};
    size_t sizes[2] = {0, 0};
    rc = transformed_copy(form, old_data, old_size, &copies[0], &sizes[0]);
    if (rc == OK) rc = transformed_copy(form, new_data, new_size, &copies[1], &sizes[1]);
    if (rc == OK)
      rc = make_deltas(form, copies[0], sizes[0], copies[1], sizes[1], kTried, kTriedCount,
                       keep_smaller, &transformed, hook, context);
    free(copies[0]);
    free(copies[1]);
  }
  if (rc == OK && transformed.best.data != nullptr) rc = keep_packed(&transformed, image, packing);
  patch_image_free(&plain.best);
  patch_image_free(&transformed.best);
  if (rc != OK) patch_image_free(image);
  return rc;
}
