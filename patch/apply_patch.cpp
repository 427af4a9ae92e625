// Applying a patch: the three blocks are read into one buffer, the summed
// bytes are formed in place in the diff block, and every run goes straight
// to the new file.
#include <unistd.h>

#include <cassert>
#include <cstdint>
#include <cstdlib>

#include "base/fd.h"
#include "base/status.h"
#include "patch/patch_apply.h"

namespace {

// One run of output. Linux moves at most about 2 GiB per write, so a longer
// run continues where the kernel stopped; a write that fails or makes no
// progress is ERR_WRITE.
int write_run(int fd, const unsigned char* data, uint32_t length) {
  return write_all(fd, data, length);
}

// The triples, applied to blocks already in memory. All cursors are 64-bit
// offsets and every bound is tested as "length > limit - cursor" with
// cursor <= limit, so no crafted 32-bit value can wrap a check.
int apply_triples(const PatchHeader* header, unsigned char* blocks,
                  const unsigned char* source_data, int out_fd) {
  const uint64_t control_end = header->control_size;
  const uint64_t diff_end = control_end + header->diff_size;
  const uint64_t extra_end = diff_end + header->extra_size;
  const uint64_t source_end = header->source_size;
  uint64_t triple = 0;
  uint64_t diff = control_end;
  uint64_t extra = diff_end;
  uint64_t source = 0;

  do {
    assert(triple + kControlTripleSize <= control_end);
    ControlTriple t = decode_control_triple(blocks + triple);

    assert(source <= source_end && diff <= diff_end);
    if (t.diff_length > source_end - source) return ERR_BAD_DATA;
    if (t.diff_length > diff_end - diff) return ERR_BAD_DATA;
    unsigned char* run = blocks + diff;
    const unsigned char* old = source_data + source;
    for (uint32_t i = 0; i < t.diff_length; i++) run[i] = static_cast<unsigned char>(run[i] + old[i]);
    int rc = write_run(out_fd, run, t.diff_length);
    if (rc != OK) return rc;
    source += t.diff_length;
    diff += t.diff_length;

    assert(extra <= extra_end);
    if (t.extra_length > extra_end - extra) return ERR_BAD_DATA;
    rc = write_run(out_fd, blocks + extra, t.extra_length);
    if (rc != OK) return rc;
    extra += t.extra_length;

    // The end of the source is a valid place to stand; before its start is
    // not, or the next triple would read outside the old data.
    int64_t moved = static_cast<int64_t>(source) + t.source_seek;
    if (moved < 0 || static_cast<uint64_t>(moved) > source_end) return ERR_BAD_DATA;
    source = static_cast<uint64_t>(moved);

    triple += kControlTripleSize;
  } while (triple < control_end);
  return OK;
}

}  // namespace

int apply_patch(const PatchHeader* header, int patch_fd, const unsigned char* source_data,
                int out_fd) {
  // Only whole triples, at least one: anything else would decode bytes of the
  // diff block, or past the buffer, as control data.
  if (header->control_size == 0 || header->control_size % kControlTripleSize != 0) {
    return ERR_BAD_DATA;
  }
  uint64_t total = uint64_t{header->control_size} + header->diff_size + header->extra_size;
  if (total > SIZE_MAX) return ERR_NO_MEMORY;
  unsigned char* blocks = static_cast<unsigned char*>(malloc(static_cast<size_t>(total)));
  if (blocks == nullptr) return ERR_NO_MEMORY;

  int rc = read_exact(patch_fd, blocks, total);
  if (rc == OK) rc = apply_triples(header, blocks, source_data, out_fd);
  free(blocks);
  return rc;
}
