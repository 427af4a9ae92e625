// Segments to control, diff and extra blocks.
#include "delta/patch_image.h"

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
  // Descriptors of files in memory: the updater reads and writes files.
  UniqueFd patch(memfd_create("patch", MFD_CLOEXEC));
  UniqueFd old_file(memfd_create("old", MFD_CLOEXEC));
  UniqueFd out(memfd_create("result", MFD_CLOEXEC));
  int rc = patch.ok() && old_file.ok() && out.ok() ? OK : ERR_NO_MEMORY;
  if (rc == OK && (write_all(patch.fd, image.data, image.size) != OK ||
                   write_all(old_file.fd, old_data, old_size) != OK))
    rc = ERR_NO_MEMORY;
  PatchHeader header;
  for (int fd : {patch.fd, old_file.fd})
    if (rc == OK && lseek(fd, 0, SEEK_SET) != 0) rc = ERR_READ;
  if (rc == OK) rc = read_patch_header(patch.fd, &header);
  unsigned char* source = nullptr;
  if (rc == OK) rc = LoadSourceFile(&header, old_file.fd, &source);
  if (rc == ERR_CRC_MISMATCH) rc = ERR_BAD_DATA;
  if (rc == OK) rc = apply_patch(&header, patch.fd, source, out.fd);
  free(source);
  if (rc == OK) rc = same_content(out.fd, new_data, new_size);
  return rc;
}

PatchHeader patch_form(uint32_t version, uint32_t transform, const unsigned char* old_data,
                       size_t old_size, const unsigned char* new_data, size_t new_size) {
  PatchHeader form{};
  form.version = version;
  form.source_size = static_cast<uint32_t>(old_size);
  form.source_crc = compute_crc(old_data, old_size);
  if (version == 2) {
    form.transform = transform;
    form.result_crc = compute_crc(new_data, new_size);
  }
  return form;
}

int transformed_copy(const PatchHeader& form, const unsigned char* data, size_t size,
                     unsigned char** copy, size_t* copy_size) {
  *copy = static_cast<unsigned char*>(malloc(std::max<size_t>(transform_room(form, size), 1)));
  *copy_size = size;
  if (*copy == nullptr) return ERR_NO_MEMORY;
  if (size > 0) memcpy(*copy, data, size);
  return transform_forward(form, *copy, copy_size);
}

namespace {

// bzip2's largest block (level 9) holds about this much input after its
// first stage, which shortens each run of 4 to 255 equal bytes to 5 bytes.
// A stretch of the diff block that is mostly zeros thus fits a block many
// times this long, and often compresses best that way.
constexpr size_t kLongestBlock = 900000;
// Such longer blocks span at most this much, from and to every third point
// only: compressing them is the bulk of the work.
constexpr size_t kLongestSpan = 4 * kLongestBlock;
constexpr size_t kLongStride = 3;

// The length of data[lo, hi) after bzip2's first stage.
size_t run_length_size(const unsigned char* data, size_t lo, size_t hi) {
  size_t size = 0;
  for (size_t at = lo; at < hi;) {
    size_t run = 1;
    while (at + run < hi && run < 255 && data[at + run] == data[at]) run++;
    size += run < 4 ? run : 5;
    at += run;
  }
  return size;
}

// Block ends are first placed on a grid, then each is moved by finer steps
// (halving from half the grid down to the finest step) while that pays:
// content changes (code, tables, strings) do not keep to any grid. The work
// grows with the size times the square of the points per longest block, so
// a larger patch gets a coarser grid; a very large one (tens of MB) keeps to
// about the work of a few whole compressions.
struct PackingGrid {
  size_t up_to;  // patch size
  size_t grid;
  size_t finest_step;
};
const PackingGrid kGrids[] = {
    {2500000, 50000, 50000 / 32},
    {8000000, 100000, 100000 / 32},
    {SIZE_MAX, 450000, 450000 / 2},
};

// The cost of a block as part of a longer stream: what its data takes as a
// stream of its own, less the stream's header and trailer (to a byte: the
// blocks of a stream are not padded to bytes).
constexpr int64_t kStreamOverhead = 14;

struct BlockCosts {
  const unsigned char* data;
  bool failed = false;
  int64_t of(size_t lo, size_t hi) {
    int64_t size = bzip2_compressed_size(data + lo, hi - lo);
    if (size < 0) failed = true;
    return size - kStreamOverhead;
  }
};

// Block ends (the last one the end of the data) out of `points` (increasing,
// from the start of the data to its end) that make the blocks the smallest:
// the cheapest chain of blocks between points, then each end except those in
// `fixed` moved by the finer steps while that makes its two blocks smaller.
// Blocks compress independently, so the chain is a shortest path.
std::vector<size_t> cheapest_cuts(BlockCosts* costs, const std::vector<size_t>& points,
                                  const size_t fixed[2], const PackingGrid& grid) {
  size_t k = points.size();
  // The shortened length up to each point (runs across points counted in
  // pieces: near enough to bound the blocks).
  std::vector<size_t> packed(k, 0);
  for (size_t j = 1; j < k; j++)
    packed[j] = packed[j - 1] + run_length_size(costs->data, points[j - 1], points[j]);
  std::vector<int64_t> best(k, INT64_MAX);
  std::vector<size_t> from(k, 0);
  best[0] = 0;
  for (size_t j = 1; j < k; j++) {
    for (size_t i = j; i-- > 0 && (i + 1 == j || (packed[j] - packed[i] <= kLongestBlock &&
                                                   points[j] - points[i] <= kLongestSpan));) {
      if (points[j] - points[i] > kLongestBlock && (i % kLongStride != 0 ||
                                                    (j % kLongStride != 0 && j + 1 != k)))
        continue;
      int64_t c = best[i] + costs->of(points[i], points[j]);
      if (c < best[j]) {
        best[j] = c;
        from[j] = i;
      }
    }
  }
  std::vector<size_t> ends;  // with the start in front while refining
  for (size_t j = k - 1; j > 0; j = from[j]) ends.push_back(points[j]);
  ends.push_back(points[0]);
  std::reverse(ends.begin(), ends.end());
  std::vector<int64_t> block(ends.size() - 1);
  for (size_t b = 0; b + 1 < ends.size(); b++) block[b] = costs->of(ends[b], ends[b + 1]);
  for (size_t step = grid.grid / 2; step >= grid.finest_step; step /= 2) {
    for (size_t b = 1; b + 1 < ends.size(); b++) {
      if (ends[b] == fixed[0] || ends[b] == fixed[1]) continue;
      // On in one direction while each move pays.
      for (int side = -1; side <= 1; side += 2) {
        for (;;) {
          size_t at = side < 0 ? ends[b] - step : ends[b] + step;
          if (at <= ends[b - 1] || at >= ends[b + 1] ||
              run_length_size(costs->data, at, ends[b + 1]) > kLongestBlock ||
              run_length_size(costs->data, ends[b - 1], at) > kLongestBlock)
            break;
          int64_t left = costs->of(ends[b - 1], at), right = costs->of(at, ends[b + 1]);
          if (left + right >= block[b - 1] + block[b]) break;
          ends[b] = at;
          block[b - 1] = left;
          block[b] = right;
        }
      }
    }
  }
  ends.erase(ends.begin());
  return ends;
}

}  // namespace

PatchPacking patch_packing(const PatchImage& image) {
  PatchPacking best;
  best.size = bzip2_compressed_size(image.data, image.size);
  if (best.size < 0) return best;
  BlockCosts costs{image.data};
  PatchPacking p;
  // Candidate ends: where the diff and the extra block start (a small
  // block is often cheaper within its neighbour's block than with tables
  // of its own), and a grid inside each block.
  const PackingGrid* grid = kGrids;
  while (image.size > grid->up_to) grid++;
  std::vector<size_t> points{0};
  size_t ends[2] = {image.block_starts[1], image.size};
  for (int b = 0; b < 2; b++) {
    for (size_t at = image.block_starts[b]; at < ends[b]; at += grid->grid) {
      if (at > points.back()) points.push_back(at);
    }
  }
  if (image.size > points.back()) points.push_back(image.size);
  p.cuts = cheapest_cuts(&costs, points, image.block_starts, *grid);
  p.cuts.pop_back();
  if (costs.failed) return PatchPacking{};
  p.size = bzip2_compressed_size(image.data, image.size, p.cuts.data(), p.cuts.size());
  if (p.size < 0) return PatchPacking{};
  if (p.size < best.size) best = std::move(p);
  return best;
}

namespace {

// The blocks' sizes of the patch of `segments`, known before a byte of it.
struct PatchLayout {
  bool leading;  // a first triple for the NEW bytes before the first segment
  size_t header_size, control_size, diff_size, extra_size, total;
};

PatchLayout plan_patch(const Alignment& a, const PatchHeader& form,
                       const std::vector<Segment>& segments) {
  PatchLayout l;
  // A leading triple carries the NEW bytes before the first segment and
  // seeks to it (the source cursor starts at 0, so it is needed also when
  // NEW begins with a segment from further into OLD); it is also the one
  // triple of a patch without segments, as a control block holds at least one.
  l.leading = segments.empty() || segments[0].new_start > 0 || segments[0].old_start > 0;
  l.control_size = (segments.size() + (l.leading ? 1 : 0)) * kControlTripleSize;
  l.diff_size = 0;
  for (const Segment& s : segments) l.diff_size += s.length;
  l.extra_size = a.new_size - l.diff_size;
  l.header_size = static_cast<size_t>(patch_header_size(form));
  l.total = l.header_size + l.control_size + l.diff_size + l.extra_size;
  return l;
}

// Gathers small pieces into chunks for `emit`; passes large ones straight on.
struct ChunkedEmit {
  PatchEmit emit = nullptr;
  void* context = nullptr;
  int rc = OK;
  size_t used = 0;
  unsigned char chunk[1 << 16];

  void flush() {
    if (used > 0 && rc == OK) rc = emit(chunk, used, context);
    used = 0;
  }
  void put(const unsigned char* bytes, size_t size) {
    if (size == 0) return;  // `bytes` may be null then
    if (used + size > sizeof chunk) flush();
    if (size >= sizeof chunk) {
      if (rc == OK) rc = emit(bytes, size, context);
      return;
    }
    memcpy(chunk + used, bytes, size);
    used += size;
  }
};

// The gap of NEW after segment i (before the first one for i == -1), which
// the extra block holds.
void gap_after(const Alignment& a, const std::vector<Segment>& segments, ptrdiff_t i,
               size_t* start, size_t* end) {
  size_t n = segments.size();
  *start = i < 0 ? 0 : segments[i].new_start + segments[i].length;
  *end = static_cast<size_t>(i + 1) < n ? segments[i + 1].new_start : a.new_size;
}

}  // namespace

int emit_patch(const Alignment& a, const PatchHeader& form, const std::vector<Segment>& segments,
               PatchEmit emit, void* context) {
  PatchLayout l = plan_patch(a, form, segments);
  // Every block size, and the patch file itself, must fit 32 bits.
  if (l.total > UINT32_MAX) return ERR_BAD_DATA;
  ChunkedEmit out;
  out.emit = emit;
  out.context = context;

  PatchHeader header = form;
  header.result_size = static_cast<uint32_t>(a.new_size);
  header.control_size = static_cast<uint32_t>(l.control_size);
  header.diff_size = static_cast<uint32_t>(l.diff_size);
  header.extra_size = static_cast<uint32_t>(l.extra_size);
  unsigned char bytes[std::max(kPatchHeaderSizeV2, kControlTripleSize)];  // header or triple
  encode_patch_header(header, bytes);
  out.put(bytes, l.header_size);

  // The control block: the cursor moves on by each segment, then seeks to
  // the next one; after the last it stays where it is (a seek of 0).
  int64_t old_cursor = 0;
  auto put_triple = [&](uint32_t diff_length, ptrdiff_t i, int64_t next_old) {
    size_t start, end;
    gap_after(a, segments, i, &start, &end);
    ControlTriple t{diff_length, static_cast<uint32_t>(end - start),
                    static_cast<int32_t>(next_old - old_cursor)};
    encode_control_triple(t, bytes);
    out.put(bytes, kControlTripleSize);
    old_cursor = next_old;
  };
  if (l.leading) put_triple(0, -1, segments.empty() ? 0 : segments[0].old_start);
  for (size_t i = 0; i < segments.size(); i++) {
    old_cursor += segments[i].length;
    bool last = i + 1 == segments.size();
    put_triple(segments[i].length, static_cast<ptrdiff_t>(i),
               last ? old_cursor : segments[i + 1].old_start);
  }

  for (const Segment& s : segments) {
    const unsigned char* n = a.new_data + s.new_start;
    const unsigned char* o = a.old_data + s.old_start;
    for (uint32_t k = 0; k < s.length;) {
      if (out.used == sizeof out.chunk) out.flush();
      uint32_t run = std::min<uint32_t>(s.length - k, sizeof out.chunk - out.used);
      for (uint32_t j = 0; j < run; j++)
        out.chunk[out.used + j] = static_cast<unsigned char>(n[k + j] - o[k + j]);
      out.used += run;
      k += run;
    }
  }

  for (ptrdiff_t i = l.leading ? -1 : 0; i < static_cast<ptrdiff_t>(segments.size()); i++) {
    size_t start, end;
    gap_after(a, segments, i, &start, &end);
    out.put(a.new_data + start, end - start);
  }
  out.flush();
  return out.rc;
}

namespace {

int append_to_image(const unsigned char* bytes, size_t size, void* context) {
  PatchImage* image = static_cast<PatchImage*>(context);
  memcpy(image->data + image->size, bytes, size);
  image->size += size;
  return OK;
}

}  // namespace

int encode_patch(const Alignment& a, const PatchHeader& form, const std::vector<Segment>& segments,
                 PatchImage* image) {
  *image = PatchImage{};
  PatchLayout l = plan_patch(a, form, segments);
  if (l.total > UINT32_MAX) return ERR_BAD_DATA;
  image->data = static_cast<unsigned char*>(malloc(l.total > 0 ? l.total : 1));
  if (image->data == nullptr) return ERR_NO_MEMORY;
  int rc = emit_patch(a, form, segments, append_to_image, image);
  if (rc != OK) {
    patch_image_free(image);
    return rc;
  }
  image->block_starts[0] = l.header_size + l.control_size;
  image->block_starts[1] = l.header_size + l.control_size + l.diff_size;
  return OK;
}
