// apply: the updater started detached on a verified package.
#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/fd.h"
#include "client/client_handle.h"

namespace {

// "updater" in the directory of the running program.
std::string updater_beside_program() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  self[n] = '\0';
  return std::string(dirname(self)) + "/updater";
}

// Closes every descriptor from `low` to `high`, both included.
void close_descriptors(unsigned low, unsigned high) {
  if (low > high) return;
  if (syscall(SYS_close_range, low, high, 0) == 0) return;
  long most = sysconf(_SC_OPEN_MAX);
  for (long fd = low; fd <= static_cast<long>(high) && fd < (most > 0 ? most : 65536); fd++)
    UniqueFd inherited(static_cast<int>(fd));  // closed at once
}

// In the grandchild: a session of its own, so that it outlives the caller's
// terminal and process group, and no descriptor of the caller but /dev/null.
// The application's sockets and files must not live on in the updater, nor
// in the application it starts again: a listening socket kept open there
// would stop the new application from binding its own port.
[[noreturn]] void start_updater(const std::vector<char*>& argv, int report_fd) {
  setsid();
  close_descriptors(STDERR_FILENO + 1, static_cast<unsigned>(report_fd) - 1);
  close_descriptors(static_cast<unsigned>(report_fd) + 1, ~0U);
  UniqueFd null_fd(open("/dev/null", O_RDWR));
  if (null_fd.ok()) {
    dup2(null_fd.fd, STDIN_FILENO);
    dup2(null_fd.fd, STDOUT_FILENO);
    dup2(null_fd.fd, STDERR_FILENO);
    // One of the three itself, when they were closed: that one stays.
    if (null_fd.fd <= STDERR_FILENO) null_fd.release();
    null_fd.reset();  // exec runs no destructor
  }
  execv(argv[0], argv.data());
  int error = errno;
  ssize_t ignored = write(report_fd, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

}  // namespace

int update_client_apply(update_client* c, const char* updater_path, long parent_pid,
                        const char* const* relaunch) {
  if (c == nullptr) return UPDATE_CLIENT_ERR_USAGE;
  if (c->update_dir.empty())
    return report(c, client_failure(UPDATE_CLIENT_ERR_USAGE, "no update directory"), "");
  const char* update_dir = c->update_dir.c_str();
  std::string package = c->update_dir + "/update.zav";
  struct stat st;
  if (lstat(package.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return report(c, client_failure(UPDATE_CLIENT_ERR_LOCAL, package + ": no package to apply (run fetch first)"), "");
  std::string updater = updater_path != nullptr ? updater_path : updater_beside_program();
  if (updater.empty() || access(updater.c_str(), X_OK) != 0)
    return report(c, client_failure(UPDATE_CLIENT_ERR_USAGE, "cannot run the updater " + updater + ": " + strerror(errno)), "");

  std::string pid = std::to_string(parent_pid > 0 ? parent_pid : static_cast<long>(getpid()));
  std::vector<std::string> args = {updater, update_dir, pid};
  for (size_t i = 0; relaunch != nullptr && relaunch[i] != nullptr; i++)
    args.push_back(relaunch[i]);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  // The grandchild reports a failed exec through a pipe that a successful
  // exec closes; the child between them exits at once, so the updater is
  // nobody's child here and nothing is left to reap.
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0)
    return report(c, client_failure(UPDATE_CLIENT_ERR_LOCAL, std::string("pipe: ") + strerror(errno)), "");
  UniqueFd from_child(pipe_fds[0]), to_parent(pipe_fds[1]);
  pid_t child = fork();
  if (child == 0) {
    from_child.reset();
    pid_t grandchild = fork();
    if (grandchild == 0) start_updater(argv, to_parent.fd);
    if (grandchild < 0) {
      int error = errno;
      ssize_t ignored = write(to_parent.fd, &error, sizeof error);
      (void)ignored;
    }
    _exit(0);
  }
  to_parent.reset();
  int exec_error = 0;
  ssize_t n = -1;
  if (child > 0) {
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    while ((n = read(from_child.fd, &exec_error, sizeof exec_error)) < 0 && errno == EINTR) {
    }
  }
  int fork_error = errno;
  if (child < 0)
    return report(c, client_failure(UPDATE_CLIENT_ERR_LOCAL, std::string("fork: ") + strerror(fork_error)), "");
  if (n > 0)
    return report(c, client_failure(UPDATE_CLIENT_ERR_USAGE, "cannot run the updater " + updater + ": " + strerror(exec_error)), "");
  return report(c, {}, "started " + updater + " on " + update_dir + " (waiting for " + pid + ")");
}
