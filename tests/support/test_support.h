// Helpers for the tests: temporary trees, files, packages built with the
// project's own writer, and runs of the real binaries.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

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
bool exists(const std::string& path);  // lstat succeeds
mode_t file_mode(const std::string& path);  // permission bits, -1 cast when absent
void make_dirs(const std::string& path, mode_t mode = 0755);

// One file of a tree: content for regular files, the target for links.
struct TreeNode {
  char type;  // 'f' file, 'd' directory, 'l' symbolic link
  mode_t mode;
  std::string content;
  bool operator==(const TreeNode& o) const {
    return type == o.type && mode == o.mode && content == o.content;
  }
};
using Tree = std::map<std::string, TreeNode>;
// Every name under `root`, relative to it, recursively.
Tree snapshot_tree(const std::string& root);
// Readable difference of two trees, empty when they are equal.
std::string tree_diff(const Tree& expected, const Tree& actual);

// A compact description of a tree for tables of cases: a path ending in "/"
// is a directory, anything else a file with `content`. Directories on the
// way that are not listed have mode 0755.
struct TreeFile {
  std::string path;
  std::string content;
  mode_t mode = 0644;
};
// The Tree that `files` describe, listed parents included.
Tree tree_of(const std::vector<TreeFile>& files);
// Creates `files` under `root` with exactly their modes.
void plant_tree(const std::string& root, const std::vector<TreeFile>& files);

struct PackageFile {
  std::string name;
  std::string content;
  unsigned permissions = 0644;
};
// Writes a package with the project's writer; fails the test on error.
void make_package(const std::string& path, const std::vector<PackageFile>& files);
// A package holding just `manifest` (as update.manifest) and `files`.
void make_update(const std::string& update_dir, const std::string& manifest,
                 std::vector<PackageFile> files = {});

// The first line of the log of every run without a key file.
constexpr const char kUnverifiedLine[] = "package not verified: no key file\n";

struct RunResult {
  int exit_code = -1;  // -1 when killed by a signal
  int signal = 0;
  std::string out;
  std::string err;
};

struct RunOptions {
  std::string cwd;                      // working directory of the child
  std::vector<std::string> env;         // extra NAME=VALUE entries
  std::vector<std::string> unset_env;   // names removed (DISPLAY always is, unless set in env)
  mode_t umask_value = 022;
  uid_t uid = 0;                         // non-zero: setuid to it in the child
  long long file_size_limit = -1;        // >= 0: RLIMIT_FSIZE in the child, with
                                         // SIGXFSZ ignored, so writes fail (EFBIG)
  double timeout_seconds = 120;
};

// Runs `argv` (argv[0] is the program path) and waits for it.
RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options = {});

// Runs the updater: updater <update_dir> 0 [extra...] in `install_dir`.
RunResult run_updater(const std::string& install_dir, const std::string& update_dir,
                      const std::vector<std::string>& extra = {}, RunOptions options = {});

// A program started without waiting for it. Destroying a Child that still
// runs kills it (SIGKILL) and reaps it, so a failed test leaves nothing behind.
struct Child {
  pid_t pid = -1;      // -1 once reaped
  int exit_code = -1;  // valid once reaped; -1 when killed by a signal
  Child() = default;
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  bool running();  // false once it has ended (and is then reaped)
};
// Starts `argv` as run_program would, with standard output and error both to
// `output_path` (created or truncated). False when it cannot be started.
bool start_program(const std::vector<std::string>& argv, const RunOptions& options,
                   const std::string& output_path, Child* child);
// Waits up to `timeout_seconds` for the end; the exit code, or -1 when killed
// by a signal or at the timeout (the child is then killed).
int wait_program(Child* child, double timeout_seconds);

// The updater under test: this build's, or $UPDATER_BIN_UNDER_TEST.
std::string updater_bin();
std::string tool_bin(const std::string& name);  // a program built in tools/

// Environment entries that load the fault-injection library (tests/shims,
// its FAULT_* variables documented there) into a child, followed by
// `settings`. Under AddressSanitizer the runtime's check that it comes first
// is turned off, since the library must.
std::vector<std::string> fault_shim_env(const std::vector<std::string>& settings);

// A user id without privileges, for tests of permission failures (root passes
// every access test); 0 when none is available.
uid_t unprivileged_uid();

}  // namespace testing_support
