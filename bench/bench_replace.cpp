// Benchmark: an update that replaces every file of an installation (2,000
// files of mixed sizes, about 200 MiB, unless told otherwise), run by one or
// more updaters, against the same work done by standard tools: `cp` of each
// file to its backup, `bzip2 -dc` of each entry over the file, the backups
// deleted at the end ("cp"); and `bzip2 -dc | tar x` of the new tree
// followed by `sync` ("tar"). Prints every time and each updater's ratio to
// the references and to the first updater.
//
//   bench_replace WORK_DIR ROUNDS FILES MIB REFERENCES UPDATER...
//
// REFERENCES: "cp,tar", "cp" or "tar".
//
// WORK_DIR is created and filled (about 3.5 times MIB); the fastest of ROUNDS
// alternating runs of each side is reported.
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
// KiB, a few of several MiB; scaled so that the total is close to `mib` MiB.
std::vector<size_t> file_sizes(Rng* rng, int files, double mib) {
  std::vector<size_t> sizes;
  size_t total = 0;
  for (int i = 0; i < files; i++) {
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
  double scale = (mib * (1 << 20)) / static_cast<double>(total);
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

// A fresh copy of the old installation, on disk, for the next timed run.
bool fresh_install(const std::string& work) {
  return shell("rm -rf '" + work + "/install' && cp -a '" + work + "/old' '" + work + "/install' && sync") == 0;
}

bool succeeded(const std::string& work) {
  FILE* status = fopen((work + "/update/update.status").c_str(), "r");
  char text[64] = "";
  bool ok = status != nullptr && fgets(text, sizeof text, status) != nullptr && std::string(text) == "succeeded\n";
  if (status != nullptr) fclose(status);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) {
    fprintf(stderr, "usage: bench_replace WORK_DIR ROUNDS FILES MIB REFERENCES UPDATER...\n");
    return 2;
  }
  std::string work = argv[1], references = argv[5];
  int rounds = atoi(argv[2]), files = atoi(argv[3]);
  double mib = atof(argv[4]);
  // The updaters run in the installation, so a relative name would not be found.
  std::vector<std::string> updaters;
  for (int i = 6; i < argc; i++) {
    char* resolved = realpath(argv[i], nullptr);
    if (resolved == nullptr) {
      perror(argv[i]);
      return 2;
    }
    updaters.push_back(resolved);
    free(resolved);
  }
  if (shell("rm -rf '" + work + "' && mkdir -p '" + work + "'/old '" + work + "'/new '" + work + "'/entries '" +
            work + "'/update") != 0) {
    return 1;
  }

  fprintf(stderr, "making %d files and their package...\n", files);
  Rng rng{12345};
  std::vector<size_t> sizes = file_sizes(&rng, files, mib);
  PackageWriter writer;
  if (package_writer_open(&writer, (work + "/update/update.zav").c_str()) != OK) return 1;
  std::string manifest, script, cleanup;
  size_t total = 0;
  for (size_t i = 0; i < sizes.size(); i++) {
    std::string dir = "d" + std::to_string(i % (sizes.size() / 50 + 1)), name = dir + "/f" + std::to_string(i);
    mkdir((work + "/old/" + dir).c_str(), 0755);
    mkdir((work + "/new/" + dir).c_str(), 0755);
    if (!write_whole(work + "/old/" + name, content(&rng, sizes[i], 1))) return 1;
    std::string next = content(&rng, sizes[i], 2);
    if (!write_whole(work + "/new/" + name, next) ||
        package_writer_add_buffer(&writer, name.c_str(), next.data(), next.size(), 0644) != OK) {
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

  // The first reference decompresses the very same bzip2 streams, cut out of
  // the package; the second unpacks a tarball of the new tree.
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
  if (!write_whole(work + "/reference.sh", script + cleanup) ||
      !write_whole(work + "/untar.sh", "bzip2 -dc '" + work + "/new.tar.bz2' | tar x && sync\n") ||
      shell("tar cjf '" + work + "/new.tar.bz2' -C '" + work + "/new' .") != 0) {
    return 1;
  }

  struct Side {
    std::string name;
    std::vector<std::string> argv;
    double best = 1e9;
  };
  std::vector<Side> sides;
  if (references.find("cp") != std::string::npos) sides.push_back({"cp + bzip2 -dc", {"sh", work + "/reference.sh"}});
  if (references.find("tar") != std::string::npos)
    sides.push_back({"bzip2 -dc | tar x; sync", {"sh", work + "/untar.sh"}});
  size_t first_updater = sides.size();
  for (size_t u = 0; u < updaters.size(); u++)
    sides.push_back({"updater " + std::to_string(u + 1), {updaters[u], work + "/update", "0"}});
  for (int round = 0; round < rounds; round++) {
    for (size_t k = 0; k < sides.size(); k++) {
      if (!fresh_install(work)) return 1;
      double t = timed_run(sides[k].argv, work + "/install");
      if (t < 0 || (k >= first_updater && !succeeded(work))) {
        fprintf(stderr, "%s failed\n", sides[k].name.c_str());
        return 1;
      }
      if (t < sides[k].best) sides[k].best = t;
      fprintf(stderr, "round %d: %s %.3f s\n", round + 1, sides[k].name.c_str(), t);
    }
  }
  printf("replace %d files, %.1f MiB:\n", files, static_cast<double>(total) / (1 << 20));
  for (const Side& side : sides) {
    printf("  %-24s %8.3f s", side.name.c_str(), side.best);
    if (&side - &sides[0] >= static_cast<long>(first_updater)) {
      for (const Side& other : sides) {
        if (&other != &side) printf("   %.3f of %s", side.best / other.best, other.name.c_str());
      }
      printf("   (%s)", side.argv[0].c_str());
    }
    printf("\n");
  }
  return 0;
}
