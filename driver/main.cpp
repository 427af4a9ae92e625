// The updater's process entry: wait for the application, run the update on a
// worker thread while the main thread serves the progress window, then start
// the application's callback program.
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "driver/log.h"
#include "driver/package_trust.h"
#include "driver/run_lock.h"
#include "driver/run_update.h"
#include "ui/progress_ui.h"

namespace {

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

}  // namespace

int main(int argc, char** argv) {
  SetupProgressUI(&argc, &argv);
  if (argc < 3) {
    fputs("Usage: updater <dir-path> <parent-pid> [working-dir callback args...]\n", stderr);
    return 1;
  }

  long parent = strtol(argv[2], nullptr, 10);
  if (parent != 0) waitpid(static_cast<pid_t>(parent), nullptr, 0);

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
    log_file = fopen(path, "w");
  }
  if (waited) log_printf("waiting for another update run to finish\n");
  if (lock_fd < 0) log_printf("cannot lock the installation directory: %d\n", lock_error);

  pthread_t worker;
  if (pthread_create(&worker, nullptr, worker_main, nullptr) == 0) {
    OpenProgressUI();
    pthread_join(worker, nullptr);
  }

  if (log_file != nullptr) {
    fclose(log_file);
    log_file = nullptr;
  }

  // Released before the callback starts, which may well start the next run.
  run_lock_release(lock_fd);

  if (argc < 5) return 0;
  launch_callback(argv);
  return 0;
}
