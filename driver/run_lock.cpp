// The installation lock. A directory descriptor carries the flock, so no lock
// file is ever left in the installation.
#include "driver/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "base/fd.h"

int run_lock_acquire(bool* waited, int* error) {
  *waited = false;
  UniqueFd fd(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.ok()) {
    *error = errno;
    return -1;
  }
  // Ask without blocking first, only to learn whether this run has to wait.
  if (flock(fd.fd, LOCK_EX | LOCK_NB) == 0) return fd.release();
  if (errno == EWOULDBLOCK) {
    *waited = true;
    int rc;
    do {
      rc = flock(fd.fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return fd.release();
  }
  *error = errno;
  return -1;
}

void run_lock_release(int fd) {
  // Closing the only descriptor of the open file releases its flock.
  UniqueFd lock(fd);
}
