// Test helpers: files, trees, packages, patches and child processes.
#include "tests/support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "archive/writer.h"
#include "base/clock.h"
#include "base/status.h"

namespace testing_support {

namespace {

void remove_tree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    unlink(path.c_str());
    return;
  }
  chmod(path.c_str(), 0700);  // tests make read-only directories
  if (DIR* d = opendir(path.c_str())) {
    while (dirent* e = readdir(d)) {
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) remove_tree(path + "/" + e->d_name);
    }
    closedir(d);
  }
  rmdir(path.c_str());
}

void snapshot_into(const std::string& root, const std::string& rel, Tree* tree) {
  DIR* d = opendir((rel.empty() ? root : root + "/" + rel).c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    std::string name = rel.empty() ? e->d_name : rel + "/" + e->d_name, full = root + "/" + name;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    TreeNode node{'f', st.st_mode & 07777, ""};
    if (S_ISDIR(st.st_mode)) {
      node.type = 'd';
      snapshot_into(root, name, tree);
    } else if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = readlink(full.c_str(), target, sizeof target);
      node = {'l', 0, std::string(target, n > 0 ? static_cast<size_t>(n) : 0)};
    } else if (S_ISREG(st.st_mode)) {
      node.content = read_file(full);
    } else {
      node.type = 'p';  // a named pipe or other special file, never read
    }
    (*tree)[name] = node;
  }
  closedir(d);
}

std::string describe(const TreeNode& n) {
  std::ostringstream s;
  s << n.type << " mode " << std::oct << n.mode << std::dec << " size " << n.content.size();
  if (n.content.size() <= 40) s << " \"" << n.content << "\"";
  return s.str();
}

// The child's side: output to `out_fd`/`err_fd`, input from /dev/null, the
// options, then execv. Never returns.
[[noreturn]] void exec_child(const std::vector<std::string>& argv, const RunOptions& options,
                             int out_fd, int err_fd) {
  dup2(out_fd, 1);
  dup2(err_fd, 2);
  int devnull = open("/dev/null", O_RDONLY);
  dup2(devnull, 0);
  if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
  umask(options.umask_value);
  unsetenv("DISPLAY");
  for (const std::string& e : options.env) putenv(strdup(e.c_str()));
  if (options.file_size_limit >= 0) {
    signal(SIGXFSZ, SIG_IGN);  // stays ignored across execv
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(options.file_size_limit);
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(124);
  }
  // Root's supplementary groups would still grant group access.
  if (options.uid != 0 && ((getuid() == 0 && setgroups(0, nullptr) != 0) ||
                           setgid(options.uid) != 0 || setuid(options.uid) != 0)) {
    _exit(125);
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // after setuid, which clears it
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

}  // namespace

TempDir::TempDir() {
  char name[] = "/tmp/updater-test-XXXXXX";
  if (mkdtemp(name) == nullptr) abort();
  path = name;
  chmod(path.c_str(), 0755);  // readable by an unprivileged test user
}

TempDir::~TempDir() { remove_tree(path); }

void make_dirs(const std::string& path, mode_t mode) {
  for (size_t i = 1; i <= path.size(); i++) {
    if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), mode);
  }
}

void write_file(const std::string& path, const std::string& content, mode_t mode) {
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) make_dirs(path.substr(0, slash));
  unlink(path.c_str());
  std::ofstream(path, std::ios::binary) << content;
  ASSERT_EQ(read_file(path), content) << path;
  chmod(path.c_str(), mode);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string random_bytes(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    c = static_cast<char>(seed);
  }
  return bytes;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

mode_t file_mode(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) != 0 ? static_cast<mode_t>(-1) : st.st_mode & 07777;
}

Tree snapshot_tree(const std::string& root) {
  Tree tree;
  snapshot_into(root, "", &tree);
  return tree;
}

std::string tree_diff(const Tree& expected, const Tree& actual) {
  std::ostringstream s;
  for (const auto& [name, node] : expected) {
    auto it = actual.find(name);
    if (it == actual.end()) {
      s << "missing: " << name << "\n";
    } else if (!(it->second == node)) {
      s << "differs: " << name << ": expected " << describe(node) << ", got " << describe(it->second) << "\n";
    }
  }
  for (const auto& [name, node] : actual) {
    if (expected.count(name) == 0) s << "unexpected: " << name << " (" << describe(node) << ")\n";
  }
  return s.str();
}

Tree tree_of(const std::vector<TreeFile>& files) {
  Tree tree;
  for (const TreeFile& f : files) {
    bool dir = !f.path.empty() && f.path.back() == '/';
    std::string name = dir ? f.path.substr(0, f.path.size() - 1) : f.path;
    for (size_t s = name.find('/'); s != std::string::npos; s = name.find('/', s + 1)) {
      tree.emplace(name.substr(0, s), TreeNode{'d', 0755, ""});  // keeps a listed mode
    }
    tree[name] = dir ? TreeNode{'d', f.mode, ""} : TreeNode{f.mode == 0 ? 'l' : 'f', f.mode, f.content};
  }
  return tree;
}

void plant_tree(const std::string& root, const std::vector<TreeFile>& files) {
  for (const TreeFile& f : files) {
    std::string full = root + "/" + f.path;
    if (f.path.back() == '/') {
      make_dirs(full);
    } else if (f.mode != 0) {
      write_file(full, f.content, f.mode);
    } else {
      make_dirs(full.substr(0, full.rfind('/')));
      EXPECT_EQ(symlink(f.content.c_str(), full.c_str()), 0) << full;
    }
  }
  // Last, so that a directory without write permission can still be filled.
  for (const TreeFile& f : files) {
    if (f.path.back() == '/') chmod((root + "/" + f.path).c_str(), f.mode);
  }
}

void make_package(const std::string& path, const std::vector<PackageFile>& files) {
  PackageWriter writer;
  ASSERT_EQ(package_writer_open(&writer, path.c_str()), OK) << path;
  for (const PackageFile& f : files) {
    ASSERT_EQ(package_writer_add_buffer(&writer, f.name.c_str(), f.content.data(), f.content.size(),
                                        f.permissions), OK) << f.name;
  }
  ASSERT_EQ(package_writer_finish(&writer), OK);
}

void make_update(const std::string& update_dir, const std::string& manifest,
                 std::vector<PackageFile> files) {
  make_dirs(update_dir);
  files.insert(files.begin(), PackageFile{"update.manifest", manifest, 0644});
  make_package(update_dir + "/update.zav", files);
}

PatchParts patch_parts_for(const std::string& source) {
  PatchParts parts;
  parts.source_size = static_cast<uint32_t>(source.size());
  parts.source_crc = compute_crc(source.data(), source.size());
  return parts;
}

std::string encode_header(uint32_t source_size, uint32_t source_crc, uint32_t control_size,
                          uint32_t diff_size, uint32_t extra_size) {
  PatchHeader h{};
  h.source_size = source_size;
  h.source_crc = source_crc;
  h.control_size = control_size;
  h.diff_size = diff_size;
  h.extra_size = extra_size;
  unsigned char bytes[kPatchHeaderSizeV2];
  encode_patch_header(h, bytes);
  return std::string(reinterpret_cast<char*>(bytes), kPatchHeaderSize);
}

std::string encode_patch(const PatchParts& p) {
  PatchHeader h{};
  h.version = p.version;
  h.source_size = p.source_size;
  h.source_crc = p.source_crc;
  h.result_size = p.result_size;
  h.control_size = static_cast<uint32_t>(p.triples.size() * kControlTripleSize);
  h.diff_size = static_cast<uint32_t>(p.diff.size());
  h.extra_size = static_cast<uint32_t>(p.extra.size());
  h.result_crc = p.result_crc;
  h.transform = p.transform;
  if (p.version == 2 && p.result_size == 0)
    for (const ControlTriple& t : p.triples) h.result_size += t.diff_length + t.extra_length;
  unsigned char bytes[kPatchHeaderSizeV2];
  encode_patch_header(h, bytes);
  std::string out(reinterpret_cast<char*>(bytes), static_cast<size_t>(patch_header_size(h)));
  for (const ControlTriple& t : p.triples) {
    unsigned char triple[kControlTripleSize];
    encode_control_triple(t, triple);
    out.append(reinterpret_cast<char*>(triple), sizeof triple);
  }
  return out + p.diff + p.extra;
}

std::string make_patch(const std::string& old_content, const std::string& new_content) {
  PatchParts parts = patch_parts_for(old_content);
  size_t common = std::min(old_content.size(), new_content.size());
  for (size_t i = 0; i < common; i++) parts.diff.push_back(static_cast<char>(new_content[i] - old_content[i]));
  parts.extra = new_content.substr(common);
  parts.triples.push_back({static_cast<uint32_t>(common), static_cast<uint32_t>(parts.extra.size()), 0});
  return encode_patch(parts);
}

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options) {
  RunResult result;
  TempDir dir;
  int out = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  int err = open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  Child child;
  pid_t pid = fork();
  if (pid == 0) exec_child(argv, options, out, err);
  close(out);
  close(err);
  child.pid = pid;
  if (pid < 0) ADD_FAILURE() << "cannot start " << argv[0];
  result.exit_code = wait_program(&child, options.timeout_seconds);
  result.signal = child.signal;
  result.out = read_file(dir / "out");
  result.err = read_file(dir / "err");
  return result;
}

RunResult run_updater(const std::string& install_dir, const std::string& update_dir,
                      const std::vector<std::string>& extra, RunOptions options) {
  std::vector<std::string> argv = {updater_bin(), update_dir, "0"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  options.cwd = install_dir;
  return run_program(argv, options);
}

RunResult run_tool(const std::string& name, const std::vector<std::string>& args,
                   const RunOptions& options) {
  std::vector<std::string> argv = {tool_bin(name)};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, options);
}

Child::~Child() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

bool Child::running() {
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, WNOHANG) == 0) return pid > 0;
  exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  pid = -1;
  return false;
}

bool start_program(const std::vector<std::string>& argv, const RunOptions& options,
                   const std::string& output_path, Child* child) {
  int fd = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  pid_t pid = fork();
  if (pid == 0) exec_child(argv, options, fd, fd);
  close(fd);
  child->pid = pid;
  child->exit_code = -1;
  return pid > 0;
}

int wait_program(Child* child, double timeout_seconds) {
  for (double end = now_seconds() + timeout_seconds; child->running(); usleep(2000)) {
    if (now_seconds() > end) {
      ADD_FAILURE() << "timed out";
      kill(child->pid, SIGKILL);
      waitpid(child->pid, nullptr, 0);
      child->pid = -1;
      return -1;
    }
  }
  return child->exit_code;
}

bool wait_for_text(const std::string& path, const std::string& text) {
  for (int i = 0; i < 1000; i++, usleep(10000)) {
    if (exists(path) && read_file(path).find(text) != std::string::npos) return true;
  }
  return false;
}

std::string updater_bin() {
  const char* other = getenv("UPDATER_BIN_UNDER_TEST");  // the ThreadSanitizer build, say
  return other != nullptr && *other != '\0' ? other : UPDATER_BIN;
}
std::string tool_bin(const std::string& name) { return std::string(TOOLS_DIR) + "/" + name; }

std::vector<std::string> fault_shim_env(const std::vector<std::string>& settings) {
  std::vector<std::string> env = {std::string("LD_PRELOAD=") + FAULT_SHIM};
#if defined(__SANITIZE_ADDRESS__)
  // The library must come before the sanitizer's runtime.
  const char* asan = getenv("ASAN_OPTIONS");
  env.push_back("ASAN_OPTIONS=" + std::string(asan != nullptr && *asan ? std::string(asan) + ":" : "") +
                "verify_asan_link_order=0");
#endif
  env.insert(env.end(), settings.begin(), settings.end());
  return env;
}

uid_t unprivileged_uid() {
  if (getuid() != 0) return getuid();
  struct passwd* pw = getpwnam("nobody");
  return pw != nullptr ? pw->pw_uid : 0;
}

void check_action_cases(const std::vector<ActionCase>& cases) {
  for (const ActionCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    Paths p{root.path, root / "install", root / "updates", root / "bin/updater.pub", root / "bin/updater", {}};
    p.args = {p.updates, "0"};
    make_dirs(p.install);
    make_dirs(root / "bin");
    ASSERT_EQ(symlink(updater_bin().c_str(), p.program.c_str()), 0);
    plant_tree(p.install, c.before);
    make_update(p.updates, c.manifest, c.entries);
    chmod(p.updates.c_str(), 0777);
    if (c.setup) c.setup(p);
    RunOptions options = c.options;
    options.cwd = p.install;
    std::vector<std::string> argv = {p.program};
    argv.insert(argv.end(), p.args.begin(), p.args.end());
    Child run;
    ASSERT_TRUE(start_program(argv, options, root / "output", &run));
    p.run = run.pid;
    if (c.during) c.during(p);
    EXPECT_EQ(wait_program(&run, 60), 0);
    EXPECT_EQ(read_file(root / "output"), "");
    std::string log = c.log;
    std::replace(log.begin(), log.end(), '|', '\n');
    if (!exists(p.key_file)) log = kUnverifiedLine + log;
    for (auto [mark, value] : {std::pair{"$U", p.updates}, {"$K", p.key_file}}) {
      for (size_t at; (at = log.find(mark)) != std::string::npos;) log.replace(at, 2, value);
    }
    size_t last = log.rfind('\n', log.size() - 1);
    EXPECT_EQ(read_file(p.updates + "/update.status"), log.substr(last + 1) + "\n");
    EXPECT_EQ(read_file(p.updates + "/update.log"), log + "\ncalling QuitProgressUI\n");
    EXPECT_EQ(tree_diff(tree_of(c.after), snapshot_tree(p.install)), "");
    if (c.check) c.check(p);
    for (const auto& [name, node] : snapshot_tree(p.updates)) {
      if (name.rfind("update.", 0) != 0) ADD_FAILURE() << "left in the update directory: " << name;
    }
  }
}

}  // namespace testing_support
