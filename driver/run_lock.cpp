// The installation lock. A directory descriptor carries the flock, so no lock
// file is ever left in the installation.
#include "driver/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

int run_lock_acquire(bool* waited, int* error) {
  *waited = false;
  int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  // Ask without blocking first, only to learn whether this run has to wait.
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
  if (errno == EWOULDBLOCK) {
    *waited = true;
    int rc;
    do {
      rc = flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return fd;
  }
  *error = errno;
  close(fd);
  return -1;
}

void run_lock_release(int fd) {
  // Closing the only descriptor of the open file releases its flock.
  if (fd >= 0) close(fd);
}
