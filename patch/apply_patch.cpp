// Applying a patch. Version 1: the three blocks are read into one buffer,
// the summed bytes are formed in place in the diff block, and every run goes
// straight to the new file. Version 2: the runs are formed in a buffer of
// the result's size, read from the diff and extra blocks a piece at a time,
// and the file is written only once the result is transformed back and
// checked.
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "base/fd.h"
#include "base/log.h"
#include "base/status.h"
#include "patch/patch_apply.h"

namespace {

// The triples of `control`, with the runs they describe handed to `runs`:
// diff_run(length, old) for a run summed with the source bytes at `old`,
// then extra_run(length). All cursors are 64-bit offsets and every bound is
// tested as "length > limit - cursor" with cursor <= limit, so no crafted
// 32-bit value can wrap a check; `runs` keeps its own bounds the same way.
template <typename Runs>
int apply_triples(const PatchHeader* header, const unsigned char* control,
                  const unsigned char* source_data, Runs* runs) {
  const uint64_t control_end = header->control_size;
  const uint64_t source_end = header->source_data_size;
  uint64_t triple = 0;
  uint64_t source = 0;
  do {
    assert(triple + kControlTripleSize <= control_end);
    ControlTriple t = decode_control_triple(control + triple);

    assert(source <= source_end);
    if (t.diff_length > source_end - source) return ERR_BAD_DATA;
    int rc = runs->diff_run(t.diff_length, source_data + source);
    if (rc != OK) return rc;
    source += t.diff_length;
    rc = runs->extra_run(t.extra_length);
    if (rc != OK) return rc;

    // The end of the source is a valid place to stand; before its start is
    // not, or the next triple would read outside the old data.
    int64_t moved = static_cast<int64_t>(source) + t.source_seek;
    if (moved < 0 || static_cast<uint64_t>(moved) > source_end) return ERR_BAD_DATA;
    source = static_cast<uint64_t>(moved);

    triple += kControlTripleSize;
  } while (triple < control_end);
  return OK;
}

// Version 1: the blocks in memory, each run written to the file as it is
// formed.
struct FileRuns {
  unsigned char* blocks;
  uint64_t diff, diff_end, extra, extra_end;
  int out_fd;

  int diff_run(uint32_t length, const unsigned char* old) {
    assert(diff <= diff_end);
    if (length > diff_end - diff) return ERR_BAD_DATA;
    unsigned char* run = blocks + diff;
    for (uint32_t i = 0; i < length; i++) run[i] = static_cast<unsigned char>(run[i] + old[i]);
    diff += length;
    // Linux moves at most about 2 GiB per write; write_all continues.
    return write_all(out_fd, run, length);
  }
  int extra_run(uint32_t length) {
    assert(extra <= extra_end);
    if (length > extra_end - extra) return ERR_BAD_DATA;
    int rc = write_all(out_fd, blocks + extra, length);
    extra += length;
    return rc;
  }
};

// One block of the patch file, read in order a piece at a time.
struct BlockReader {
  int fd;
  uint64_t at, end;  // file offsets
  unsigned char buffer[1 << 16];
  size_t used = 0, filled = 0;

  // Copies the block's next `length` bytes to `out`. ERR_BAD_DATA past the
  // block's end, ERR_READ.
  int take(unsigned char* out, uint32_t length) {
    assert(at <= end);
    if (length > end - at + (filled - used)) return ERR_BAD_DATA;
    while (length > 0) {
      if (used == filled) {
        // A long run goes straight to its place.
        if (length >= sizeof buffer) {
          ssize_t n = pread(fd, out, length, static_cast<off_t>(at));
          if (n <= 0) return ERR_READ;
          at += static_cast<uint64_t>(n);
          out += n;
          length -= static_cast<uint32_t>(n);
          continue;
        }
        ssize_t n = pread(fd, buffer, std::min<uint64_t>(sizeof buffer, end - at),
                          static_cast<off_t>(at));
        if (n <= 0) return ERR_READ;
        at += static_cast<uint64_t>(n);
        used = 0;
        filled = static_cast<size_t>(n);
      }
      size_t piece = std::min<size_t>(length, filled - used);
      std::copy(buffer + used, buffer + used + piece, out);
      used += piece;
      out += piece;
      length -= static_cast<uint32_t>(piece);
    }
    return OK;
  }
};

// Version 2: the runs formed in `result`, which must come out exactly full.
struct BufferRuns {
  BlockReader* diff_block;
  BlockReader* extra_block;
  unsigned char* result;
  uint64_t at, end;

  int diff_run(uint32_t length, const unsigned char* old) {
    assert(at <= end);
    if (length > end - at) return ERR_BAD_DATA;
    unsigned char* run = result + at;
    int rc = diff_block->take(run, length);
    if (rc != OK) return rc;
    for (uint32_t i = 0; i < length; i++) run[i] = static_cast<unsigned char>(run[i] + old[i]);
    at += length;
    return OK;
  }
  int extra_run(uint32_t length) {
    assert(at <= end);
    if (length > end - at) return ERR_BAD_DATA;
    int rc = extra_block->take(result + at, length);
    at += length;
    return rc;
  }
};

int apply_transformed(const PatchHeader* header, int patch_fd, const unsigned char* source_data,
                      int out_fd) {
  unsigned char* control = static_cast<unsigned char*>(malloc(header->control_size));
  // malloc(0) may return null; an empty result still needs a buffer of its own.
  unsigned char* result = static_cast<unsigned char*>(malloc(std::max(header->result_size, 1u)));
  BlockReader* blocks = new (std::nothrow) BlockReader[2];
  int rc = control != nullptr && result != nullptr && blocks != nullptr ? OK : ERR_NO_MEMORY;
  if (rc == OK) rc = read_exact(patch_fd, control, header->control_size);
  if (rc == OK) {
    // The diff and the extra block, by their offsets in the file.
    uint64_t bounds[3] = {uint64_t(patch_header_size(*header)) + header->control_size};
    bounds[1] = bounds[0] + header->diff_size;
    bounds[2] = bounds[1] + header->extra_size;
    for (int b = 0; b < 2; b++) {
      blocks[b].fd = patch_fd;
      blocks[b].at = bounds[b];
      blocks[b].end = bounds[b + 1];
    }
    BufferRuns runs{&blocks[0], &blocks[1], result, 0, header->result_size};
    rc = apply_triples(header, control, source_data, &runs);
    if (rc == OK && runs.at != runs.end) rc = ERR_BAD_DATA;
  }
  size_t size = header->result_size;
  if (rc == OK) rc = transform_back(*header, result, &size);
  if (rc == OK && compute_crc(result, size) != header->result_crc) {
    log_printf("patched file fails its CRC check\n");
    rc = ERR_BAD_DATA;
  }
  if (rc == OK) rc = write_all(out_fd, result, size);
  free(control);
  free(result);
  delete[] blocks;
  return rc;
}

}  // namespace

int apply_patch(const PatchHeader* header, int patch_fd, const unsigned char* source_data,
                int out_fd) {
  // Only whole triples, at least one: anything else would decode bytes of the
  // diff block, or past the buffer, as control data.
  if (header->control_size == 0 || header->control_size % kControlTripleSize != 0) {
    return ERR_BAD_DATA;
  }
  if (header->version == 2) return apply_transformed(header, patch_fd, source_data, out_fd);

  uint64_t total = uint64_t{header->control_size} + header->diff_size + header->extra_size;
  if (total > SIZE_MAX) return ERR_NO_MEMORY;
  unsigned char* blocks = static_cast<unsigned char*>(malloc(static_cast<size_t>(total)));
  if (blocks == nullptr) return ERR_NO_MEMORY;

  int rc = read_exact(patch_fd, blocks, total);
  if (rc == OK) {
    uint64_t diff_start = header->control_size, extra_start = diff_start + header->diff_size;
    FileRuns runs{blocks, diff_start, extra_start, extra_start, total, out_fd};
    rc = apply_triples(header, blocks, source_data, &runs);
  }
  free(blocks);
  return rc;
}
