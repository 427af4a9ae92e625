// Segments to control, diff and extra blocks.
#include "tools/delta/patch_image.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <utility>

#include "archive/writer.h"
#include "base/fd.h"
#include "base/status.h"
#include "patch/patch_apply.h"
#include "patch/patch_format.h"

void patch_image_free(PatchImage* image) {
  free(image->data);
  image->data = nullptr;
  image->size = 0;
}

namespace {

// Compares the `size` bytes of `fd` from its start with `data`.
int same_content(int fd, const unsigned char* data, size_t size) {
  struct stat st;
  if (fstat(fd, &st) != 0) return ERR_READ;
  if (static_cast<uint64_t>(st.st_size) != size) return ERR_BAD_DATA;
  unsigned char buffer[1 << 16];
  for (size_t at = 0; at < size;) {
    ssize_t n = pread(fd, buffer, std::min(sizeof buffer, size - at), static_cast<off_t>(at));
    if (n <= 0) return ERR_READ;
    if (memcmp(buffer, data + at, static_cast<size_t>(n)) != 0) return ERR_BAD_DATA;
    at += static_cast<size_t>(n);
  }
  return OK;
}

}  // namespace

int verify_patch(const PatchImage& image, const unsigned char* old_data, size_t old_size,
                 const unsigned char* new_data, size_t new_size) {
  // Descriptors of files in memory: the applier reads and writes files.
  int patch_fd = memfd_create("patch", MFD_CLOEXEC);
  int out_fd = memfd_create("result", MFD_CLOEXEC);
  int rc = patch_fd >= 0 && out_fd >= 0 ? OK : ERR_NO_MEMORY;
  if (rc == OK && write_all(patch_fd, image.data, image.size) != OK)
    rc = ERR_NO_MEMORY;
  PatchHeader header;
  if (rc == OK) rc = lseek(patch_fd, 0, SEEK_SET) == 0 ? OK : ERR_READ;
  if (rc == OK) rc = read_patch_header(patch_fd, &header);
  if (rc == OK && header.source_size != old_size) rc = ERR_BAD_DATA;
  if (rc == OK) rc = apply_patch(&header, patch_fd, old_data, out_fd);
  if (rc == OK) rc = same_content(out_fd, new_data, new_size);
  if (patch_fd >= 0) close(patch_fd);
  if (out_fd >= 0) close(out_fd);
  return rc;
}

namespace {

// Block ends at the start of the diff and the extra block, and every
// `spacing` bytes inside each of them (0: none inside).
std::vector<size_t> packing_cuts(const PatchImage& image, size_t diff_spacing,
                                 size_t extra_spacing) {
  std::vector<size_t> cuts;
  size_t ends[2] = {image.block_starts[1], image.size};
  size_t spacings[2] = {diff_spacing, extra_spacing};
  for (int b = 0; b < 2; b++) {
    cuts.push_back(image.block_starts[b]);
    if (spacings[b] == 0) continue;
    for (size_t at = image.block_starts[b] + spacings[b]; at < ends[b]; at += spacings[b])
      cuts.push_back(at);
  }
  return cuts;
}

}  // namespace

PatchPacking patch_packing(const PatchImage& image) {
  PatchPacking best;
  best.size = bzip2_compressed_size(image.data, image.size);
  if (best.size < 0) return best;
  // bzip2 blocks compress independently, so the spacing in the diff block is
  // chosen first and the one in the extra block after it.
  const size_t kDiffSpacings[] = {0, 450000, 300000, 150000};
  const size_t kExtraSpacings[] = {300000, 150000};
  size_t diff_spacing = 0;
  bool failed = false;
  auto consider = [&](size_t d, size_t e) {
    PatchPacking p;
    p.cuts = packing_cuts(image, d, e);
    p.size = bzip2_compressed_size(image.data, image.size, p.cuts.data(), p.cuts.size());
    if (p.size < 0) failed = true;
    if (p.size >= 0 && p.size < best.size) {
      best = std::move(p);
      diff_spacing = d;
    }
  };
  for (size_t d : kDiffSpacings) consider(d, 0);
  for (size_t e : kExtraSpacings) {
    if (image.size - image.block_starts[1] > e) consider(diff_spacing, e);
  }
  return failed ? PatchPacking{} : best;
}

int encode_patch(const Alignment& a, const std::vector<Segment>& segments, PatchImage* image) {
  *image = PatchImage{};
  // A leading triple carries the NEW bytes before the first segment and
  // seeks to it (the source cursor starts at 0, so it is needed also when
  // NEW begins with a segment from further into OLD); it is also the one
  // triple of a patch without segments, as a control block holds at least one.
  bool leading =
      segments.empty() || segments[0].new_start > 0 || segments[0].old_start > 0;
  size_t triples = segments.size() + (leading ? 1 : 0);
  size_t diff_size = 0;
  for (const Segment& s : segments) diff_size += s.length;
  size_t control_size = triples * kControlTripleSize;
  size_t extra_size = a.new_size - diff_size;
  size_t total = kPatchHeaderSize + control_size + diff_size + extra_size;
  // Every block size, and the patch file itself, must fit 32 bits.
  if (total > UINT32_MAX) return ERR_BAD_DATA;
  unsigned char* out = static_cast<unsigned char*>(malloc(total > 0 ? total : 1));
  if (out == nullptr) return ERR_NO_MEMORY;

  PatchHeader header{};
  header.source_size = static_cast<uint32_t>(a.old_size);
  header.source_crc = compute_crc(a.old_data, a.old_size);
  header.result_size = static_cast<uint32_t>(a.new_size);
  header.control_size = static_cast<uint32_t>(control_size);
  header.diff_size = static_cast<uint32_t>(diff_size);
  header.extra_size = static_cast<uint32_t>(extra_size);
  encode_patch_header(header, out);

  unsigned char* control = out + kPatchHeaderSize;
  unsigned char* diff = control + control_size;
  unsigned char* extra = diff + diff_size;
  int64_t old_cursor = 0;
  auto put_triple = [&](uint32_t diff_length, size_t gap_start, size_t gap_end, int64_t next_old) {
    uint32_t extra_length = static_cast<uint32_t>(gap_end - gap_start);
    if (extra_length > 0) memcpy(extra, a.new_data + gap_start, extra_length);  // data may be null
    extra += extra_length;
    ControlTriple t{diff_length, extra_length, static_cast<int32_t>(next_old - old_cursor)};
    encode_control_triple(t, control);
    control += kControlTripleSize;
    old_cursor = next_old;
  };

  if (leading) {
    size_t end = segments.empty() ? a.new_size : segments[0].new_start;
    put_triple(0, 0, end, segments.empty() ? 0 : segments[0].old_start);
  }
  for (size_t i = 0; i < segments.size(); i++) {
    const Segment& s = segments[i];
    const unsigned char* n = a.new_data + s.new_start;
    const unsigned char* o = a.old_data + s.old_start;
    for (uint32_t k = 0; k < s.length; k++) diff[k] = static_cast<unsigned char>(n[k] - o[k]);
    diff += s.length;
    old_cursor += s.length;
    bool last = i + 1 == segments.size();
    size_t gap_end = last ? a.new_size : segments[i + 1].new_start;
    // After the last triple the cursor stays where it is: a seek of 0.
    int64_t next_old = last ? old_cursor : segments[i + 1].old_start;
    put_triple(s.length, s.new_start + s.length, gap_end, next_old);
  }
  image->data = out;
  image->size = total;
  image->block_starts[0] = kPatchHeaderSize + control_size;
  image->block_starts[1] = kPatchHeaderSize + control_size + diff_size;
  return OK;
}
