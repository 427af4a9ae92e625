// Helpers for the tests: temporary trees, packages built with the project's
// own writer, patch files, runs of the real binaries, and the table of whole
// runs that most end-to-end tests are rows of.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "patch/patch_format.h"

namespace testing_support {

// A fresh directory under /tmp, removed with everything in it on destruction.
struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// Writes `content` to `path` (parents made) and sets `mode` exactly.
void write_file(const std::string& path, const std::string& content, mode_t mode = 0644);
std::string read_file(const std::string& path);
// `size` bytes that do not compress, the same for the same `seed` (xorshift).
std::string random_bytes(size_t size, uint32_t seed);
bool exists(const std::string& path);       // lstat succeeds
mode_t file_mode(const std::string& path);  // permission bits, -1 cast when absent
void make_dirs(const std::string& path, mode_t mode = 0755);

// One file of a tree: content for regular files, the target for links.
struct TreeNode {
  char type;  // 'f' file, 'd' directory, 'l' symbolic link, 'p' anything else
  mode_t mode;
  std::string content;
  bool operator==(const TreeNode& o) const {
    return type == o.type && mode == o.mode && content == o.content;
  }
};
using Tree = std::map<std::string, TreeNode>;
Tree snapshot_tree(const std::string& root);  // every name under `root`, relative
// Readable difference of two trees, empty when they are equal.
std::string tree_diff(const Tree& expected, const Tree& actual);

// A tree in a table row: a path ending in "/" is a directory, one of mode 0 a
// symbolic link to `content`, anything else a file. Unlisted directories on
// the way have mode 0755.
struct TreeFile {
  std::string path;
  std::string content;
  mode_t mode = 0644;
};
Tree tree_of(const std::vector<TreeFile>& files);
void plant_tree(const std::string& root, const std::vector<TreeFile>& files);

struct PackageFile {
  std::string name;
  std::string content;
  unsigned permissions = 0644;
};
// Writes a package with the project's writer; fails the test on error.
void make_package(const std::string& path, const std::vector<PackageFile>& files);
// update.zav in `update_dir` holding `manifest` (as update.manifest) and `files`.
void make_update(const std::string& update_dir, const std::string& manifest,
                 std::vector<PackageFile> files = {});

// Patch files from triples and blocks, independent of any patch generator.
// Version 2 also stores the result's CRC and a transform; its result_size is
// the length of diff and extra runs (set by encode_patch when 0).
struct PatchParts {
  std::vector<ControlTriple> triples;
  std::string diff, extra;
  uint32_t source_size = 0, source_crc = 0, result_size = 0;
  uint32_t version = 1, result_crc = 0, transform = 0;
};
PatchParts patch_parts_for(const std::string& source);  // source size and CRC set
std::string encode_patch(const PatchParts& parts);
// One triple: a diff over the common length, the rest of `new_content` as extra.
std::string make_patch(const std::string& old_content, const std::string& new_content);
std::string encode_header(uint32_t source_size, uint32_t source_crc, uint32_t control_size,
                          uint32_t diff_size, uint32_t extra_size);

// The first line of the log of every run without a key file.
constexpr const char kUnverifiedLine[] = "package not verified: no key file\n";

struct RunResult {
  int exit_code = -1;  // -1 when killed by a signal
  int signal = 0;
  std::string out, err;
};

struct RunOptions {
  std::string cwd;                     // working directory of the child
  std::vector<std::string> env;        // extra NAME=VALUE entries
  mode_t umask_value = 022;
  uid_t uid = 0;                       // non-zero: setuid to it in the child
  long long file_size_limit = -1;      // >= 0: RLIMIT_FSIZE, SIGXFSZ ignored
  double timeout_seconds = 120;
};

// Runs `argv` (argv[0] is the program path) and waits for it. DISPLAY is
// unset unless `options.env` sets it.
RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options = {});
// updater <update_dir> 0 [extra...] in `install_dir`.
RunResult run_updater(const std::string& install_dir, const std::string& update_dir,
                      const std::vector<std::string>& extra = {}, RunOptions options = {});
// A program built in tools/ with `args`.
RunResult run_tool(const std::string& name, const std::vector<std::string>& args,
                   const RunOptions& options = {});

// A program started without waiting for it; killed and reaped on destruction.
struct Child {
  pid_t pid = -1;      // -1 once reaped
  int exit_code = -1;  // once reaped; -1 when killed by a signal
  int signal = 0;
  Child() = default;
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  bool running();  // false once it has ended (and is then reaped)
};
// Standard output and error both go to `output_path`.
bool start_program(const std::vector<std::string>& argv, const RunOptions& options,
                   const std::string& output_path, Child* child);
// The exit code, or -1 when killed by a signal or at the timeout (then killed).
int wait_program(Child* child, double timeout_seconds);

// Waits up to ten seconds for `text` in the file at `path`.
bool wait_for_text(const std::string& path, const std::string& text);

std::string updater_bin();  // this build's, or $UPDATER_BIN_UNDER_TEST
std::string tool_bin(const std::string& name);

// Environment entries that preload the fault-injection library (tests/shims,
// its FAULT_* variables documented there), then `settings`.
std::vector<std::string> fault_shim_env(const std::vector<std::string>& settings);
// A user without privileges (root passes every access test); 0 when none.
uid_t unprivileged_uid();

// One whole run as a table row. The installation `before`, the package, and
// what the run must leave: `log` with "|" for line ends (the status file is
// its last line, "calling QuitProgressUI" follows it; kUnverifiedLine comes
// first when there is no key file) and the installation `after`. In `log`,
// "$U" stands for the update directory and "$K" for the key file. The
// updater is started as <root>/bin/updater, so that `setup` may give it a key
// file; `setup` runs after the package is made (and may change the program
// and its arguments), `during` while the run goes on, `check` after it.
struct Paths {
  std::string root, install, updates, key_file, program;
  std::vector<std::string> args;  // after the program: the update directory and "0"
  pid_t run = 0;                  // the updater, while it runs
};
using RowStep = std::function<void(Paths&)>;
struct ActionCase {
  const char* name;
  std::vector<TreeFile> before;
  std::string manifest;
  std::vector<PackageFile> entries;
  std::string log;
  std::vector<TreeFile> after;
  RunOptions options = {};
  RowStep setup = nullptr, check = nullptr, during = nullptr;
};
void check_action_cases(const std::vector<ActionCase>& cases);

}  // namespace testing_support
