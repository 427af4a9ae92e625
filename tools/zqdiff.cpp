// zqdiff: writes the binary patch that turns OLD into NEW.
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/status.h"
#include "tools/delta/delta.h"
#include "tools/delta/whole_file.h"

namespace {

const char kUsage[] =
    "usage: zqdiff [--verbose] OLD NEW PATCH\n"
    "Writes the binary patch that turns the file OLD into the file NEW.\n"
    "  --verbose  print each stage's time and peak memory, and the patch's\n"
    "             size as a package entry, on standard error\n";

double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

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

}  // namespace

int main(int argc, char** argv) {
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
  const char* old_path = argv[first];
  const char* new_path = argv[first + 1];
  const char* patch_path = argv[first + 2];
  clock.last = now_seconds();

  unsigned char* old_data = nullptr;
  unsigned char* new_data = nullptr;
  size_t old_size = 0, new_size = 0;
  if (read_input(old_path, &old_data, &old_size) != OK) return 1;
  if (read_input(new_path, &new_data, &new_size) != OK) {
    free(old_data);
    return 1;
  }
  report_stage("read", &clock);

  PatchImage image;
  int rc = make_delta(old_data, old_size, new_data, new_size, &image, report_stage, &clock);
  free(old_data);
  free(new_data);
  if (rc == ERR_BAD_DATA) {
    fprintf(stderr, "zqdiff: the patch would not fit the patch format's 32-bit sizes\n");
    return 1;
  }
  if (rc != OK) {
    fprintf(stderr, "zqdiff: not enough memory to build the patch\n");
    return 1;
  }
  if (clock.verbose) {
    PatchPacking packing = patch_packing(image);
    fprintf(stderr, "zqdiff: %zu bytes, %lld as a package entry (%zu bzip2 block ends)\n",
            image.size, static_cast<long long>(packing.size), packing.cuts.size());
    clock.last = now_seconds();
  }
  rc = write_whole_file(patch_path, image.data, image.size);
  patch_image_free(&image);
  if (rc != OK) {
    fprintf(stderr, "zqdiff: %s: cannot write the patch\n", patch_path);
    return 1;
  }
  report_stage("write", &clock);
  return 0;
}
