// A whole patch action (Prepare and Execute) on a 100 MiB file against cp of
// the same file, the I/O floor, in the same run. Prints both times and the
// ratio. Usage: bench_patch_action [work-dir] (default: a new dir in /tmp).
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/reader.h"
#include "archive/writer.h"
#include "bench/bench_util.h"
#include "base/log.h"
#include "base/status.h"
#include "actions/patch_action.h"
#include "patch/patch_format.h"

extern char** environ;

namespace {

constexpr uint32_t kSize = 100u << 20;
constexpr uint32_t kRun = 1u << 20;  // one triple per MiB
constexpr int kRounds = 3;

bool write_whole(const std::string& path, const std::vector<unsigned char>& data) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0755);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return done == data.size();
}

int run_cp(const std::string& from, const std::string& to) {
  const char* argv[] = {"cp", from.c_str(), to.c_str(), nullptr};
  pid_t pid;
  if (posix_spawnp(&pid, "cp", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A patch in the shape a generator gives for a lightly changed binary: one
// triple per MiB, a diff block that is almost all zeros with a few changed
// bytes, and a short inserted run after each.
std::vector<unsigned char> make_patch(const std::vector<unsigned char>& old_data) {
  PatchHeader h{};
  h.source_size = kSize;
  h.source_crc = compute_crc(old_data.data(), old_data.size());
  const uint32_t triples = kSize / kRun;
  const uint32_t extra_per_triple = 16;
  h.control_size = triples * kControlTripleSize;
  h.diff_size = kSize;
  h.extra_size = triples * extra_per_triple;
  h.result_size = kSize + h.extra_size;
  std::vector<unsigned char> out(kPatchHeaderSize + h.control_size + h.diff_size + h.extra_size);
  encode_patch_header(h, out.data());
  unsigned char* control = out.data() + kPatchHeaderSize;
  unsigned char* diff = control + h.control_size;
  unsigned char* extra = diff + h.diff_size;
  for (uint32_t t = 0; t < triples; t++) {
    encode_control_triple({kRun, extra_per_triple, 0}, control + t * kControlTripleSize);
    for (uint32_t i = 0; i < kRun; i += 4099) diff[t * kRun + i] = 1;
    memset(extra + t * extra_per_triple, 'E', extra_per_triple);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  char made[] = "/tmp/bench-patch-XXXXXX";
  std::string work = argc > 1 ? argv[1] : (mkdtemp(made) ? made : "");
  if (work.empty()) return 1;
  std::string install = work + "/install", updates = work + "/updates";
  mkdir(install.c_str(), 0755);
  mkdir(updates.c_str(), 0755);

  std::vector<unsigned char> old_data(kSize);
  bench_fill_random(old_data.data(), old_data.size(), 0x243F6A8885A308D3u);
  std::string original = work + "/original", target = install + "/app";
  std::vector<unsigned char> patch = make_patch(old_data);
  PackageWriter writer;
  std::string package = updates + "/update.zav";
  if (!write_whole(original, old_data) || package_writer_open(&writer, package.c_str()) != OK ||
      package_writer_add_buffer(&writer, "app.patch", patch.data(), patch.size(), 0644) != OK ||
      package_writer_finish(&writer) != OK) {
    fprintf(stderr, "setting up %s failed\n", work.c_str());
    return 1;
  }

  double best_cp = 1e30;
  for (int r = 0; r < kRounds; r++) {
    std::string copy = work + "/copy";
    unlink(copy.c_str());
    double start = now_seconds();
    if (run_cp(original, copy) != 0) return 1;
    best_cp = std::min(best_cp, now_seconds() - start);
    unlink(copy.c_str());
  }

  update_dir = updates.c_str();
  if (package_reader.Open(package.c_str()) != OK || chdir(install.c_str()) != 0) return 1;
  double best_prepare = 1e30, best_execute = 1e30, best_total = 1e30;
  for (int r = 0; r < kRounds; r++) {
    if (!write_whole(target, old_data)) return 1;
    char line[] = "\"app.patch\" \"app\"";
    PatchAction* action = static_cast<PatchAction*>(create_patch_action());
    if (action->ParseLine(line) != OK) return 1;
    double start = now_seconds();
    int rc = action->Prepare();
    double prepared = now_seconds();
    if (rc == OK) rc = action->Execute();
    double executed = now_seconds();
    if (rc != OK) {
      fprintf(stderr, "patch action failed: %d\n", rc);
      return 1;
    }
    action->Finish(OK);
    delete action;
    best_prepare = std::min(best_prepare, prepared - start);
    best_execute = std::min(best_execute, executed - prepared);
    best_total = std::min(best_total, executed - start);
  }
  // The share of Prepare that is the package reader's: decompressing the
  // patch entry alone.
  double best_extract = 1e30;
  std::string extracted = updates + "/extract-only";
  for (int r = 0; r < kRounds; r++) {
    double start = now_seconds();
    if (package_reader.ExtractEntry("app.patch", extracted.c_str()) != OK) return 1;
    best_extract = std::min(best_extract, now_seconds() - start);
    unlink(extracted.c_str());
  }
  package_reader.Close();

  printf("patch action on a 100 MiB file (best of %d)\n", kRounds);
  printf("  cp of the file:        %7.3f s\n", best_cp);
  printf("  Prepare:               %7.3f s  (extract, header, load and CRC)\n", best_prepare);
  printf("    of which extraction: %7.3f s  (bzip2 decoding of the patch entry)\n", best_extract);
  printf("  Execute:               %7.3f s  (backup, rewrite, apply)\n", best_execute);
  printf("  Prepare + Execute:     %7.3f s\n", best_total);
  printf("  ratio to cp:           %7.2fx\n", best_total / best_cp);
  for (const std::string& f : {target, original, package, updates + "/0.patch"}) unlink(f.c_str());
  rmdir(install.c_str());
  rmdir(updates.c_str());
  if (argc <= 1) rmdir(work.c_str());
  return 0;
}
