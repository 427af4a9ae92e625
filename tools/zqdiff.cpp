// zqdiff: writes the binary patch that turns OLD into NEW.
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "base/clock.h"
#include "base/fd.h"
#include "base/status.h"
#include "patch/patch_format.h"
#include "tools/delta/delta.h"
#include "tools/delta/whole_file.h"

namespace {

const char kUsage[] =
    "usage: zqdiff [--verbose] OLD NEW PATCH\n"
    "Writes the binary patch that turns the file OLD into the file NEW.\n"
    "  --verbose  print each stage's time and peak memory, and the patch's\n"
    "             size as a package entry, on standard error\n";

struct StageClock {
  bool verbose = false;
  double last = 0;
};

// --verbose: the time of the stage just ended and the peak resident memory
// of the process so far.
void report_stage(const char* stage, void* context) {
  StageClock* clock = static_cast<StageClock*>(context);
  double t = now_seconds();
  if (clock->verbose) {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    fprintf(stderr, "zqdiff: %-12s %9.3f s   peak memory %9.1f MiB\n", stage, t - clock->last,
            static_cast<double>(usage.ru_maxrss) / 1024.0);
  }
  clock->last = t;
}

int read_input(const char* path, unsigned char** data, size_t* size) {
  // Refused before a byte is read: the format's seeks are signed 32-bit.
  struct stat st;
  if (stat(path, &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<uint64_t>(st.st_size) >= kDeltaMaxInput) {
    fprintf(stderr, "zqdiff: %s: files of 2 GiB or more cannot be patched\n", path);
    return ERR_BAD_DATA;
  }
  int rc = read_whole_file(path, data, size);
  if (rc == ERR_NO_MEMORY)
    fprintf(stderr, "zqdiff: %s: not enough memory to read it\n", path);
  else if (rc != OK)
    fprintf(stderr, "zqdiff: %s: cannot read it (missing, not a regular file, or changing)\n",
            path);
  return rc;
}

// The inputs, which write_delta lets go while it sorts OLD (the sort, on a
// copy of the parts it needs, is when memory peaks) and which are then read
// again: a hash of each (XXH3, several times as fast as the CRC on a
// patch's path) tells a file that changed meanwhile.
struct Inputs {
  const char* paths[2];
  unsigned char* data[2] = {nullptr, nullptr};
  size_t sizes[2] = {0, 0};
  uint64_t hashes[2] = {0, 0};
};

int pause_inputs(bool away, const unsigned char** old_data, const unsigned char** new_data,
                 void* context) {
  Inputs* in = static_cast<Inputs*>(context);
  const unsigned char** views[2] = {old_data, new_data};
  for (int i = 0; i < 2; i++) {
    if (away) {
      in->hashes[i] = XXH3_64bits(in->data[i], in->sizes[i]);
      free(in->data[i]);
      in->data[i] = nullptr;
      *views[i] = nullptr;
      continue;
    }
    size_t size = 0;
    if (read_input(in->paths[i], &in->data[i], &size) != OK) return ERR_READ;
    *views[i] = in->data[i];
    if (size != in->sizes[i] || XXH3_64bits(in->data[i], size) != in->hashes[i]) {
      fprintf(stderr, "zqdiff: %s: changed while the patch was being made\n", in->paths[i]);
      return ERR_READ;
    }
  }
  return OK;
}

// --verbose: the size of the patch just written as a package entry (read
// back: the patch is not kept in memory while it is written).
void report_packing(const char* path) {
  PatchImage image;
  PatchHeader header;
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.ok() || read_patch_header(fd.fd, &header) != OK ||
      read_whole_file(path, &image.data, &image.size) != OK) {
    fprintf(stderr, "zqdiff: %s: cannot read the patch back\n", path);
    return;
  }
  image.block_starts[0] = kPatchHeaderSize + header.control_size;
  image.block_starts[1] = image.block_starts[0] + header.diff_size;
  PatchPacking packing = patch_packing(image);
  fprintf(stderr, "zqdiff: %zu bytes, %lld as a package entry (%zu bzip2 block ends)\n",
          image.size, static_cast<long long>(packing.size), packing.cuts.size());
  patch_image_free(&image);
}

}  // namespace

int main(int argc, char** argv) {
  // Every large buffer (inputs, their copy for the sort, the suffix array)
  // straight from and back to the system: left to itself, the allocator
  // raises this threshold once the first is freed, and the inputs read again
  // after the sort would land on a heap that keeps the sort's freed copy.
  mallopt(M_MMAP_THRESHOLD, 1 << 17);
  StageClock clock;
  int first = 1;
  if (argc == 2 && strcmp(argv[1], "--help") == 0) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc > 1 && strcmp(argv[1], "--verbose") == 0) {
    clock.verbose = true;
    first = 2;
  }
  if (argc - first != 3) {
    fputs(kUsage, stderr);
    return 2;
  }
  Inputs in{{argv[first], argv[first + 1]}};
  const char* patch_path = argv[first + 2];
  clock.last = now_seconds();

  if (read_input(in.paths[0], &in.data[0], &in.sizes[0]) != OK) return 1;
  if (read_input(in.paths[1], &in.data[1], &in.sizes[1]) != OK) {
    free(in.data[0]);
    return 1;
  }
  report_stage("read", &clock);

  // Created at the first bytes of the patch, when the inputs are back.
  PieceFile out;
  out.path = patch_path;
  int rc = write_delta(in.data[0], in.sizes[0], in.data[1], in.sizes[1], piece_file_write, &out,
                       report_stage, &clock, pause_inputs, &in);
  free(in.data[0]);
  free(in.data[1]);
  rc = piece_file_finish(&out, rc);
  if (rc == ERR_READ) return 1;  // told above
  if (rc == ERR_WRITE) {
    fprintf(stderr, "zqdiff: %s: cannot write the patch\n", patch_path);
    return 1;
  }
  if (rc == ERR_BAD_DATA) {
    fprintf(stderr, "zqdiff: the patch would not fit the patch format's 32-bit sizes\n");
    return 1;
  }
  if (rc != OK) {
    fprintf(stderr, "zqdiff: not enough memory to build the patch\n");
    return 1;
  }
  report_stage("write", &clock);
  if (clock.verbose) report_packing(patch_path);
  return 0;
}
