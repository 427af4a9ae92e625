// Extraction benchmark: ExtractEntry of one large entry against `bzip2 -dc`
// of the same stream, in the same run, printed as a ratio.
//
//   bench_extract [MiB]     (default 256 MiB decoded)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/reader.h"
#include "bench/bench_util.h"
#include "archive/writer.h"
#include "base/status.h"

namespace {

// Mixed data: text-like runs, repeated records and stretches of noise, so the
// decoder sees both long and short bzip2 blocks' worth of work.
std::vector<char> make_data(size_t size) {
  std::vector<char> data(size);
  BenchRandom random{88172645463325252ull};
  size_t i = 0;
  while (i < size) {
    uint64_t x = random.next();
    size_t run = 512 + (x % 8192);
    int kind = static_cast<int>((x >> 20) % 3);
    for (size_t j = 0; j < run && i < size; j++, i++) {
      if (kind == 0) data[i] = "the quick brown fox jumps over the lazy dog\n"[j % 44];
      if (kind == 1) data[i] = static_cast<char>((j * 31 + (x >> 32)) & 0x3f) + ' ';
      if (kind == 2) data[i] = static_cast<char>(random.next());
    }
  }
  return data;
}

}  // namespace

int main(int argc, char** argv) {
  size_t mib = argc > 1 ? strtoul(argv[1], nullptr, 10) : 256;
  std::string dir = "/tmp/bench-extract";
  if (system(("rm -rf " + dir + " && mkdir -p " + dir).c_str()) != 0) return 1;
  std::string package = dir + "/big.zav";

  std::vector<char> data = make_data(mib << 20);
  PackageWriter writer;
  if (package_writer_open(&writer, package.c_str()) != OK ||
      package_writer_add_buffer(&writer, "big", data.data(), data.size(), 0644) != OK ||
      package_writer_finish(&writer) != OK) {
    fprintf(stderr, "cannot write the package\n");
    return 1;
  }
  data = {};

  // The entry's bytes alone, as a .bz2 file for the reference decoder.
  if (package_reader.Open(package.c_str()) != OK) return 1;
  ArchiveEntry* entry = archive_find(package_reader.archive, "big");
  std::vector<char> stream(static_cast<size_t>(entry->size));
  if (archive_read(package_reader.archive, entry, 0, stream.data(), entry->size) != entry->size)
    return 1;
  FILE* f = fopen((dir + "/big.bz2").c_str(), "wb");
  fwrite(stream.data(), stream.size(), 1, f);
  fclose(f);

  double best_ours = 1e9, best_ref = 1e9;
  for (int round = 0; round < 3; round++) {
    double start = now_seconds();
    if (package_reader.ExtractEntry("big", (dir + "/ours.out").c_str()) != OK) return 1;
    best_ours = std::min(best_ours, now_seconds() - start);

    start = now_seconds();
    if (system(("bzip2 -dc " + dir + "/big.bz2 > " + dir + "/ref.out").c_str()) != 0) return 1;
    best_ref = std::min(best_ref, now_seconds() - start);
  }
  package_reader.Close();
  if (system(("cmp -s " + dir + "/ours.out " + dir + "/ref.out").c_str()) != 0) {
    fprintf(stderr, "outputs differ\n");
    return 1;
  }
  printf("extract %zu MiB (%zu MiB compressed): updater %.2f s, bzip2 -dc %.2f s, ratio %.3f\n",
         mib, stream.size() >> 20, best_ours, best_ref, best_ours / best_ref);
  system(("rm -rf " + dir).c_str());
  return 0;
}
