// zqdiff: writes the binary patch that turns OLD into NEW.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
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
#include "base/command_line.h"
#include "patch/patch_format.h"
#include "delta/delta.h"
#include "delta/whole_file.h"
#include "patch/x86_fields.h"

namespace {

const char kUsage[] =
    "usage: zqdiff [--verbose] [--patch-format 1|2] OLD NEW PATCH\n"
    "       zqdiff -h|--help|-V|--version\n";
const char kHelp[] =
    "Writes the binary patch that turns the file OLD into the file NEW.\n"
    "  --verbose         print each stage's time and peak memory, and the patch's\n"
    "                    size as a package entry, on standard error\n"
    "  --patch-format 2  write format 2 (the indexed x86-64 transform) when OLD or\n"
    "                    NEW is an x86-64 ELF file; only updaters that know format\n"
    "                    2 apply it. 1, the default, is read by every updater\n"
    "Exit status: 0 written, 1 failed (no patch left), 2 wrong call.\n";

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

int map_input(const char* path, MappedFile* file) {
  // Refused before a byte is read: the format's seeks are signed 32-bit.
  struct stat st;
  if (stat(path, &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<uint64_t>(st.st_size) >= kDeltaMaxInput) {
    fprintf(stderr, "zqdiff: %s: files of 2 GiB or more cannot be patched\n", path);
    return ERR_BAD_DATA;
  }
  int rc = map_whole_file(path, file);
  if (rc == ERR_NO_MEMORY)
    fprintf(stderr, "zqdiff: %s: not enough memory to read it\n", path);
  else if (rc != OK)
    fprintf(stderr, "zqdiff: %s: cannot read it (missing, not a regular file, or changing)\n",
            path);
  return rc;
}

// The inputs, mapped rather than read: write_delta lets go of their pages
// while it sorts a copy of OLD's parts, and of NEW's behind each scan; they
// are read in again where touched. A hash of each (XXH3, several times as
// fast as the CRC on a patch's path), taken first and again once the patch
// is written, tells a file that changed meanwhile.
// Format 2 compares copies of both as its transform rewrites them; these too
// are let go while OLD is sorted, and made again from the mappings after.
struct Inputs {
  const char* paths[2] = {nullptr, nullptr};
  MappedFile files[2];
  uint64_t hashes[2] = {0, 0};
  size_t released = 0;  // NEW's pages before this are let go
  PatchHeader form{};
  TransformedFile copies[2];
};

int pause_inputs(bool away, void* context) {
  Inputs* in = static_cast<Inputs*>(context);
  for (int i = 0; i < 2; i++) {
    if (in->form.version == 2 && away) release_transformed_file(in->files[i], &in->copies[i]);
    if (in->form.version == 2 && !away) restore_transformed_file(in->files[i], &in->copies[i]);
    release_mapped_file(in->files[i], 0, in->files[i].size);
  }
  return OK;
}

void release_passed(size_t new_pos, void* context) {
  Inputs* in = static_cast<Inputs*>(context);
  if (new_pos < in->released) in->released = 0;  // the next scan, from the start
  release_mapped_file(in->files[1], in->released, new_pos);
  in->released = new_pos;
}

// OK, or ERR_READ when an input is not what it was when first hashed.
int check_unchanged(const Inputs& in) {
  for (int i = 0; i < 2; i++) {
    if (in.files[i].copied) continue;  // read whole before the patch overwrote it
    struct stat st;
    if (fstat(in.files[i].fd.fd, &st) != 0 ||
        static_cast<uint64_t>(st.st_size) != in.files[i].size ||
        XXH3_64bits(in.files[i].data, in.files[i].size) != in.hashes[i]) {
      fprintf(stderr, "zqdiff: %s: changed while the patch was being made\n", in.paths[i]);
      return ERR_READ;
    }
  }
  return OK;
}

// An input cut short under its mapping ends the run here, where its lost
// pages are touched: the half-written patch goes as after any failure.
PieceFile* g_patch = nullptr;

void on_lost_input(int) {
  static const char kMessage[] = "zqdiff: an input was cut short while the patch was being made\n";
  ssize_t told = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  (void)told;
  if (g_patch != nullptr) piece_file_finish(g_patch, ERR_READ);
  _exit(1);
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
  image.block_starts[0] = static_cast<size_t>(patch_header_size(header)) + header.control_size;
  image.block_starts[1] = image.block_starts[0] + header.diff_size;
  PatchPacking packing = patch_packing(image);
  fprintf(stderr, "zqdiff: %zu bytes, %lld as a package entry (%zu bzip2 block ends)\n",
          image.size, static_cast<long long>(packing.size), packing.cuts.size());
  patch_image_free(&image);
}

}  // namespace

int main(int argc, char** argv) {
  // Every large buffer (the copy of OLD for the sort, the suffix array)
  // straight from and back to the system: left to itself, the allocator
  // raises this threshold once the first is freed, and the buffers after it
  // would land on a heap that keeps what the first freed.
  mallopt(M_MMAP_THRESHOLD, 1 << 17);
  StageClock clock;
  uint32_t patch_format = 1;
  if (standard_option(argc, argv, "zqdiff", kUsage, kHelp)) return 0;
  int first = 1;
  for (; first < argc && argv[first][0] == '-' && argv[first][1] != '\0'; first++) {
    const char* option = argv[first];
    if (strcmp(option, "--verbose") == 0) {
      clock.verbose = true;
    } else if (strcmp(option, "--patch-format") == 0 && first + 1 < argc) {
      const char* value = argv[++first];
      if (strcmp(value, "1") != 0 && strcmp(value, "2") != 0) {
        fprintf(stderr, "zqdiff: --patch-format %s: must be 1 or 2\n", value);
        return usage_error(kUsage);
      }
      patch_format = value[0] == '2' ? 2 : 1;
    } else {
      return usage_error(kUsage);
    }
  }
  if (argc - first != 3) return usage_error(kUsage);
  Inputs in;
  in.paths[0] = argv[first];
  in.paths[1] = argv[first + 1];
  const char* patch_path = argv[first + 2];
  clock.last = now_seconds();

  struct sigaction lost = {};
  lost.sa_handler = on_lost_input;
  sigaction(SIGBUS, &lost, nullptr);
  struct stat out_st;
  bool out_exists = stat(patch_path, &out_st) == 0;
  for (int i = 0; i < 2; i++) {
    if (map_input(in.paths[i], &in.files[i]) != OK) return 1;
    // An input the patch is written over is kept in memory: the mapping
    // would lose its pages when the patch cuts the file short.
    struct stat st;
    if (out_exists && fstat(in.files[i].fd.fd, &st) == 0 && st.st_dev == out_st.st_dev &&
        st.st_ino == out_st.st_ino && copy_mapped_file(&in.files[i]) != OK) {
      fprintf(stderr, "zqdiff: %s: not enough memory to read it\n", in.paths[i]);
      return 1;
    }
    in.hashes[i] = XXH3_64bits(in.files[i].data, in.files[i].size);
  }
  // NEW comes back a piece at a time, as the scans reach it.
  release_mapped_file(in.files[1], 0, in.files[1].size);
  report_stage("read", &clock);

  const unsigned char* data[2] = {in.files[0].data, in.files[1].data};
  size_t sizes[2] = {in.files[0].size, in.files[1].size};
  bool x86 = is_x86_64_elf(data[0], sizes[0]) || is_x86_64_elf(data[1], sizes[1]);
  in.form = patch_form(patch_format == 2 && x86 ? 2 : 1, kTransformX86ElfIndexed, data[0],
                       sizes[0], data[1], sizes[1]);
  for (int i = 0; i < 2 && in.form.version == 2; i++) {
    if (make_transformed_file(in.form, in.files[i], &in.copies[i]) != OK) {
      fprintf(stderr, "zqdiff: %s: not enough memory to read it\n", in.paths[i]);
      return 1;
    }
    data[i] = in.copies[i].data;
    sizes[i] = in.copies[i].size;
  }

  // Created at the first bytes of the patch, when the search is done.
  PieceFile out;
  out.path = patch_path;
  g_patch = &out;
  int rc = write_delta(in.form, data[0], sizes[0], data[1], sizes[1], piece_file_write, &out,
                       report_stage, &clock, pause_inputs, &in, release_passed);
  // Before the inputs are read once more, to check them.
  for (TransformedFile& copy : in.copies) free_transformed_file(&copy);
  if (rc == OK) rc = check_unchanged(in);
  rc = piece_file_finish(&out, rc);
  g_patch = nullptr;
  for (MappedFile& file : in.files) unmap_whole_file(&file);
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
