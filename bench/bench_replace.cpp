// Benchmark: an update that replaces 2,000 installed files of mixed sizes
// (about 200 MiB in all), against the same work done by standard tools in one
// shell run: `cp` of each file to its backup, `bzip2 -dc` of each entry over
// the file, and the backups deleted at the end. Prints both times and their
// ratio (updater / reference); the updater should stay at or below 1.2.
//
//   bench_replace UPDATER WORK_DIR [ROUNDS]
//
// WORK_DIR is created and filled (about 700 MiB); the fastest of ROUNDS
// (default 3) alternating runs of each side is reported.
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/writer.h"
#include "bench/bench_util.h"
#include "base/status.h"

namespace {

struct Rng {
  uint64_t state;
  uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state >> 33);
  }
};

// Sizes like an application's files: many small ones, some of a few hundred
// KiB, a few of several MiB; scaled so that the total is close to 200 MiB.
std::vector<size_t> file_sizes(Rng* rng) {
  std::vector<size_t> sizes;
  size_t total = 0;
  for (int i = 0; i < 2000; i++) {
    uint32_t kind = rng->next() % 100;
    size_t size;
    if (kind < 70) {
      size = 512 + rng->next() % (32 << 10);
    } else if (kind < 97) {
      size = (64 << 10) + rng->next() % (448 << 10);
    } else {
      size = (1 << 20) + rng->next() % (6 << 20);
    }
    sizes.push_back(size);
    total += size;
  }
  double scale = (200.0 * (1 << 20)) / static_cast<double>(total);
  for (size_t& s : sizes) s = static_cast<size_t>(static_cast<double>(s) * scale) + 1;
  return sizes;
}

// Content that compresses about as well as program files: words from a small
// vocabulary mixed with runs of random bytes.
std::string content(Rng* rng, size_t size, int version) {
  static const char* words[] = {"init", "\x7f" "ELF", "gtk_", "window", "\0\0\0\0", "update",
                                "0123", "return", "\xff\xfe", "static", "label", "main"};
  std::string s;
  s.reserve(size + 16);
  s += "version " + std::to_string(version) + "\n";
  while (s.size() < size) {
    if (rng->next() % 4 == 0) {
      for (int i = 0; i < 8; i++) s += static_cast<char>(rng->next());
    } else {
      const char* w = words[rng->next() % (sizeof words / sizeof *words)];
      s.append(w, w[0] == '\0' ? 4 : std::char_traits<char>::length(w));
    }
  }
  s.resize(size);
  return s;
}

bool write_whole(const std::string& path, const std::string& data) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
  return fclose(f) == 0 && ok;
}

// Runs `argv` in `cwd`, standard output and error to /dev/null; the wall
// time, or -1 when it did not exit with 0.
double timed_run(const std::vector<std::string>& argv, const std::string& cwd) {
  double start = now_seconds();
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    unsetenv("DISPLAY");  // no progress window for either side
    if (freopen("/dev/null", "w", stdout) == nullptr) _exit(126);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  double elapsed = now_seconds() - start;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? elapsed : -1;
}

int shell(const std::string& command) { return system(command.c_str()); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: bench_replace UPDATER WORK_DIR [ROUNDS]\n");
    return 2;
  }
  // The updater runs in the installation, so a relative name would not be found.
  char* resolved = realpath(argv[1], nullptr);
  if (resolved == nullptr) {
    perror(argv[1]);
    return 2;
  }
  std::string updater = resolved, work = argv[2];
  free(resolved);
  int rounds = argc > 3 ? atoi(argv[3]) : 3;
  if (shell("rm -rf '" + work + "' && mkdir -p '" + work + "'/old '" + work + "'/entries '" +
            work + "'/update") != 0) {
    return 1;
  }

  fprintf(stderr, "making 2000 files and their package...\n");
  Rng rng{12345};
  std::vector<size_t> sizes = file_sizes(&rng);
  PackageWriter writer;
  if (package_writer_open(&writer, (work + "/update/update.zav").c_str()) != OK) return 1;
  std::string manifest, script, cleanup;
  size_t total = 0;
  for (size_t i = 0; i < sizes.size(); i++) {
    std::string name = "d" + std::to_string(i % 40) + "/f" + std::to_string(i);
    mkdir((work + "/old/d" + std::to_string(i % 40)).c_str(), 0755);
    if (!write_whole(work + "/old/" + name, content(&rng, sizes[i], 1))) return 1;
    std::string next = content(&rng, sizes[i], 2);
    if (package_writer_add_buffer(&writer, name.c_str(), next.data(), next.size(), 0644) != OK) {
      return 1;
    }
    total += sizes[i];
    manifest += "add \"" + name + "\"\n";
    std::string entry = work + "/entries/" + std::to_string(i) + ".bz2";
    script += "cp " + name + " " + name + ".kiv-backup && rm " + name + " && bzip2 -dc " +
              entry + " > " + name + " || exit 1\n";
    cleanup += "rm " + name + ".kiv-backup || exit 1\n";
  }
  if (package_writer_add_buffer(&writer, "update.manifest", manifest.data(), manifest.size(),
                                0644) != OK) {
    return 1;
  }
  std::vector<PackageRecord> records = writer.records;
  if (package_writer_finish(&writer) != OK) return 1;

  // The reference decompresses the very same bzip2 streams, cut out of the package.
  FILE* package = fopen((work + "/update/update.zav").c_str(), "rb");
  if (package == nullptr) return 1;
  std::vector<char> buffer;
  for (size_t i = 0; i < sizes.size(); i++) {
    buffer.resize(records[i].size);
    if (fseek(package, records[i].offset, SEEK_SET) != 0 ||
        fread(buffer.data(), 1, buffer.size(), package) != buffer.size()) {
      return 1;
    }
    if (!write_whole(work + "/entries/" + std::to_string(i) + ".bz2",
                     std::string(buffer.data(), buffer.size()))) {
      return 1;
    }
  }
  fclose(package);
  if (!write_whole(work + "/reference.sh", script + cleanup)) return 1;

  double best_updater = 1e9, best_reference = 1e9;
  for (int round = 0; round < rounds; round++) {
    // A fresh copy of the old installation for each run; not timed.
    if (shell("rm -rf '" + work + "/install' && cp -a '" + work + "/old' '" + work +
              "/install' && sync") != 0) {
      return 1;
    }
    double t = timed_run({updater, work + "/update", "0"}, work + "/install");
    FILE* status = fopen((work + "/update/update.status").c_str(), "r");
    char text[64] = "";
    if (status == nullptr || fgets(text, sizeof text, status) == nullptr ||
        std::string(text) != "succeeded\n" || t < 0) {
      fprintf(stderr, "updater run failed: %s\n", text);
      return 1;
    }
    fclose(status);
    if (t < best_updater) best_updater = t;

    if (shell("rm -rf '" + work + "/install' && cp -a '" + work + "/old' '" + work +
              "/install' && sync") != 0) {
      return 1;
    }
    double r = timed_run({"sh", work + "/reference.sh"}, work + "/install");
    if (r < 0) {
      fprintf(stderr, "reference run failed\n");
      return 1;
    }
    if (r < best_reference) best_reference = r;
    fprintf(stderr, "round %d: updater %.3f s, reference %.3f s\n", round + 1, t, r);
  }
  printf("replace 2000 files, %.1f MiB: updater %.3f s, cp + bzip2 -dc %.3f s, ratio %.3f\n",
         static_cast<double>(total) / (1 << 20), best_updater, best_reference,
         best_updater / best_reference);
  return 0;
}
