// Test helpers: files, trees, packages and child processes.
#include "tests/support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "archive/writer.h"
#include "base/status.h"

extern char** environ;

namespace testing_support {

namespace {

void remove_tree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);  // tests make read-only directories
    if (DIR* d = opendir(path.c_str())) {
      while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        remove_tree(path + "/" + e->d_name);
      }
      closedir(d);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

void snapshot_into(const std::string& root, const std::string& rel, Tree* tree) {
  std::string dir = rel.empty() ? root : root + "/" + rel;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    std::string name = rel.empty() ? e->d_name : rel + "/" + e->d_name;
    std::string full = root + "/" + name;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    TreeNode node{'f', st.st_mode & 07777, ""};
    if (S_ISDIR(st.st_mode)) {
      node.type = 'd';
      (*tree)[name] = node;
      snapshot_into(root, name, tree);
      continue;
    }
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = readlink(full.c_str(), target, sizeof target);
      node.type = 'l';
      node.mode = 0;
      node.content.assign(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else {
      node.content = read_file(full);
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

// The child's side of a run: output to `out_fd`/`err_fd`, standard input from
// /dev/null, then the options, then execv. Never returns.
[[noreturn]] void exec_child(const std::vector<std::string>& argv, const RunOptions& options,
                             int out_fd, int err_fd) {
  dup2(out_fd, 1);
  dup2(err_fd, 2);
  if (out_fd > 2) close(out_fd);
  if (err_fd > 2 && err_fd != out_fd) close(err_fd);
  int devnull = open("/dev/null", O_RDONLY);
  dup2(devnull, 0);
  if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
  umask(options.umask_value);
  bool display_given = false;
  for (const std::string& e : options.env) display_given |= e.rfind("DISPLAY=", 0) == 0;
  if (!display_given) unsetenv("DISPLAY");
  for (const std::string& name : options.unset_env) unsetenv(name.c_str());
  for (const std::string& e : options.env) putenv(strdup(e.c_str()));
  if (options.file_size_limit >= 0) {
    signal(SIGXFSZ, SIG_IGN);  // stays ignored across execv
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(options.file_size_limit);
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(124);
  }
  if (options.uid != 0) {
    // Root's supplementary groups would still grant group access.
    if (getuid() == 0 && setgroups(0, nullptr) != 0) _exit(125);
    if (setgid(options.uid) != 0 || setuid(options.uid) != 0) _exit(125);
  }
  // A child held by the test (on a FIFO, say) must not outlive a test
  // process that dies. Set after setuid, which would clear it.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

double seconds_since(const struct timespec& start) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
}

}  // namespace

TempDir::TempDir() {
  char name[] = "/tmp/updater-test-XXXXXX";
  char* made = mkdtemp(name);
  if (made == nullptr) abort();
  path = made;
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
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0) << path << ": " << strerror(errno);
  ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  close(fd);
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
  uint32_t x = seed;
  for (char& c : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return bytes;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

mode_t file_mode(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return static_cast<mode_t>(-1);
  return st.st_mode & 07777;
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
      s << "differs: " << name << ": expected " << describe(node) << ", got "
        << describe(it->second) << "\n";
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
    for (size_t slash = name.find('/'); slash != std::string::npos;
         slash = name.find('/', slash + 1)) {
      tree.emplace(name.substr(0, slash), TreeNode{'d', 0755, ""});  // keeps a listed mode
    }
    tree[name] = dir ? TreeNode{'d', f.mode, ""} : TreeNode{'f', f.mode, f.content};
  }
  return tree;
}

void plant_tree(const std::string& root, const std::vector<TreeFile>& files) {
  std::vector<std::pair<std::string, mode_t>> dirs;
  for (const TreeFile& f : files) {
    if (!f.path.empty() && f.path.back() == '/') {
      make_dirs(root + "/" + f.path.substr(0, f.path.size() - 1));
      dirs.emplace_back(root + "/" + f.path, f.mode);
    } else {
      write_file(root + "/" + f.path, f.content, f.mode);
    }
  }
  // Last, so that a directory without write permission can still be filled.
  for (const auto& [path, mode] : dirs) chmod(path.c_str(), mode);
}

void make_package(const std::string& path, const std::vector<PackageFile>& files) {
  PackageWriter writer;
  ASSERT_EQ(package_writer_open(&writer, path.c_str()), OK) << path;
  for (const PackageFile& f : files) {
    ASSERT_EQ(package_writer_add_buffer(&writer, f.name.c_str(), f.content.data(),
                                        f.content.size(), f.permissions),
              OK)
        << f.name;
  }
  ASSERT_EQ(package_writer_finish(&writer), OK);
}

void make_update(const std::string& update_dir, const std::string& manifest,
                 std::vector<PackageFile> files) {
  make_dirs(update_dir);
  files.insert(files.begin(), PackageFile{"update.manifest", manifest, 0644});
  make_package(update_dir + "/update.zav", files);
}

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options) {
  RunResult result;
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return result;
  pid_t pid = fork();
  if (pid == 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    exec_child(argv, options, out_pipe[1], err_pipe[1]);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_pipes = 2;
  while (open_pipes > 0) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    double elapsed = (now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
    if (elapsed > options.timeout_seconds) {
      kill(pid, SIGKILL);
      ADD_FAILURE() << "timed out: " << argv[0];
      break;
    }
    if (poll(fds, 2, 200) <= 0) continue;
    for (pollfd& p : fds) {
      if (p.fd < 0 || (p.revents & (POLLIN | POLLHUP)) == 0) continue;
      char buffer[4096];
      ssize_t n = read(p.fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(p.fd);
        p.fd = -1;
        open_pipes--;
        continue;
      }
      (p.fd == out_pipe[0] ? result.out : result.err).append(buffer, static_cast<size_t>(n));
    }
  }
  for (pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

RunResult run_updater(const std::string& install_dir, const std::string& update_dir,
                      const std::vector<std::string>& extra, RunOptions options) {
  std::vector<std::string> argv = {updater_bin(), update_dir, "0"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  options.cwd = install_dir;
  return run_program(argv, options);
}

Child::~Child() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

bool Child::running() {
  if (pid <= 0) return false;
  int status = 0;
  pid_t r = waitpid(pid, &status, WNOHANG);
  if (r == 0) return true;
  if (r == pid) {
    exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid = -1;
  }
  return false;
}

bool start_program(const std::vector<std::string>& argv, const RunOptions& options,
                   const std::string& output_path, Child* child) {
  int fd = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  pid_t pid = fork();
  if (pid == 0) exec_child(argv, options, fd, fd);
  close(fd);
  if (pid < 0) return false;
  child->pid = pid;
  child->exit_code = -1;
  return true;
}

int wait_program(Child* child, double timeout_seconds) {
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (child->running()) {
    if (seconds_since(start) > timeout_seconds) {
      kill(child->pid, SIGKILL);
      waitpid(child->pid, nullptr, 0);
      child->pid = -1;
      return -1;
    }
    usleep(2000);
  }
  return child->exit_code;
}

std::string updater_bin() {
  // Another build of the updater (the ThreadSanitizer one) may stand in.
  const char* other = getenv("UPDATER_BIN_UNDER_TEST");
  return other != nullptr && *other != '\0' ? other : UPDATER_BIN;
}
std::string tool_bin(const std::string& name) { return std::string(TOOLS_DIR) + "/" + name; }

std::vector<std::string> fault_shim_env(const std::vector<std::string>& settings) {
  std::vector<std::string> env = {std::string("LD_PRELOAD=") + FAULT_SHIM};
#if defined(__SANITIZE_ADDRESS__)
  const char* asan = getenv("ASAN_OPTIONS");
  std::string options = asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "";
  env.push_back("ASAN_OPTIONS=" + options + "verify_asan_link_order=0");
#endif
  env.insert(env.end(), settings.begin(), settings.end());
  return env;
}

uid_t unprivileged_uid() {
  if (getuid() != 0) return getuid();
  struct passwd* pw = getpwnam("nobody");
  return pw != nullptr ? pw->pw_uid : 0;
}

}  // namespace testing_support
