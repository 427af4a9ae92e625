// The updater's process entry: wait for the application, run the update on a
// worker thread while the main thread serves the progress window, then start
// the application's callback program.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "actions/file_utils.h"

#include "base/command_line.h"
#include "base/fd.h"
#include "base/log.h"
#include "driver/package_trust.h"
#include "driver/run_lock.h"
#include "driver/run_update.h"
#include "ui/progress_ui.h"

namespace {

// How long the updater waits for the application to end: long enough for it
// to save its state and quit, short enough that a hung application does not
// keep its update away for ever.
constexpr int kParentWaitSeconds = 60;

// The longest name the run builds in the update directory, with its "/".
constexpr size_t kLongestUpdateDirName = sizeof "/update.zav.XXXXXX" - 1;

enum ParentWait { kNoWait, kParentEnded, kParentStillRunning };

bool process_exists(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

// Waits for the application `pid`. Its own child is reaped with waitpid; any
// other running process (the application is normally the updater's parent)
// is watched until it has ended, for at most kParentWaitSeconds.
ParentWait wait_for_parent(pid_t pid) {
  if (waitpid(pid, nullptr, 0) == pid || errno != ECHILD) return kNoWait;
  if (!process_exists(pid)) return kNoWait;
  UniqueFd process(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  if (process.ok()) {
    pollfd p = {process.fd, POLLIN, 0};
    int r;
    do {
      r = poll(&p, 1, kParentWaitSeconds * 1000);
    } while (r < 0 && errno == EINTR);
    return r > 0 ? kParentEnded : kParentStillRunning;
  }
  // Kernels without process descriptors: ask every 50 ms.
  time_t deadline = time(nullptr) + kParentWaitSeconds;
  while (process_exists(pid)) {
    if (time(nullptr) >= deadline) return kParentStillRunning;
    usleep(50000);
  }
  return kParentEnded;
}

// The signals with which a logout or a terminal ends its processes. A run
// that they cut short would leave half the files new; the run completes (or
// restores) instead, and they get their old handling back before the
// callback starts.
struct DeferredSignal {
  int number;
  struct sigaction saved;
};
DeferredSignal deferred_signals[] = {{SIGTERM, {}}, {SIGINT, {}}, {SIGHUP, {}}};

void ignore_deferred_signals() {
  struct sigaction ignore;
  memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  for (DeferredSignal& s : deferred_signals) sigaction(s.number, &ignore, &s.saved);
}

void restore_deferred_signals() {
  for (DeferredSignal& s : deferred_signals) sigaction(s.number, &s.saved, nullptr);
}

void* worker_main(void*) {
  run_update();
  return nullptr;
}

// Replaces the process with argv[4..]; returns only when execv fails.
void launch_callback(char** argv) {
  static char no_restart[] = "NO_EM_RESTART=";
  putenv(no_restart);
  if (chdir(argv[3]) != 0) {
    // Ignored: the program is still started from the current directory.
  }
  execv(argv[4], &argv[4]);
}

const char kUsage[] = "Usage: updater <dir-path> <parent-pid> [working-dir callback args...]\n";
const char kHelp[] =
    "Waits for process <parent-pid> to end, applies <dir-path>/update.zav to the\n"
    "installation (the current directory), writes <dir-path>/update.status and\n"
    "update.log, then runs callback with args in working-dir, if given.\n"
    "  -h, --help     print this and exit\n"
    "  -V, --version  print the version and exit\n"
    "Exit status: 0 once the run is over, whatever its outcome (see update.status);\n"
    "1 for a wrong call or an update directory path that is empty or too long.\n";

}  // namespace

int main(int argc, char** argv) {
  SetupProgressUI(&argc, &argv);
  if (standard_option(argc, argv, "updater", kUsage, kHelp)) return 0;
  // Exit 1, not the other programs' 2: applications have always seen 1 here.
  if (argc < 3) {
    fputs(kUsage, stderr);
    return 1;
  }

  // Every path in the update directory is built in a 1024-byte buffer; a
  // name cut short, or "/update.log" for an empty path, would be written
  // somewhere else.
  size_t dir_length = strlen(argv[1]);
  if (dir_length == 0 || dir_length + kLongestUpdateDirName >= 1024) {
    fprintf(stderr, "updater: the update directory path must be 1 to %zu bytes long\n",
            1023 - kLongestUpdateDirName);
    return 1;
  }

  long parent = strtol(argv[2], nullptr, 10);
  ParentWait parent_wait = kNoWait;
  if (parent > 0 && parent == static_cast<pid_t>(parent))
    parent_wait = wait_for_parent(static_cast<pid_t>(parent));

  // Before the log is opened: a second run must not truncate the log of a
  // run that is still writing it.
  bool waited = false;
  int lock_error = 0;
  int lock_fd = run_lock_acquire(&waited, &lock_error);

  update_dir = argv[1];
  program_argv0 = argv[0];
  if (log_file == nullptr) {
    char path[1024];
    snprintf(path, sizeof path, "%s/update.log", update_dir);
    // A new file: a link or a pipe planted at the name is replaced, never
    // written through or waited on.
    UniqueFd fd(create_fresh_file(path, O_WRONLY, 0644));
    if (fd.ok() && (log_file = fdopen(fd.fd, "w")) != nullptr) fd.release();
  }
  if (parent_wait == kParentEnded) log_printf("waited for process %ld to end\n", parent);
  if (parent_wait == kParentStillRunning) {
    log_printf("process %ld still running after %d seconds; not waiting any longer\n", parent,
               kParentWaitSeconds);
  }
  if (waited) log_printf("waiting for another update run to finish\n");
  if (lock_fd < 0) log_printf("cannot lock the installation directory: %d\n", lock_error);

  // Before the worker starts, so that it inherits the setting.
  ignore_deferred_signals();
  pthread_t worker;
  if (pthread_create(&worker, nullptr, worker_main, nullptr) == 0) {
    OpenProgressUI();
    pthread_join(worker, nullptr);
  }

  if (log_file != nullptr) {
    // The log tells a power cut's survivor what happened; it is worth a flush.
    fflush(log_file);
    fsync(fileno(log_file));
    fclose(log_file);
    log_file = nullptr;
  }

  // Released before the callback starts, which may well start the next run.
  run_lock_release(lock_fd);
  restore_deferred_signals();

  if (argc < 5) return 0;
  launch_callback(argv);
  return 0;
}
