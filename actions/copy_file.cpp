// Copying one file to another with its permission bits.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "actions/file_utils.h"
#include "base/log.h"
#include "base/status.h"

// A write that reports 0 bytes for a non-empty request is a failure too: the
// copy must never end as a success with bytes missing. errno is 0 then, and
// the log line says so.
bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    errno = 0;
    ssize_t n = write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int copy_file_tracked(const char* src, char* dst, bool* dst_touched) {
  *dst_touched = false;
  int rc = make_parent_dirs(dst);
  if (rc != OK) return rc;

  int in = open(src, O_RDONLY);
  struct stat st;
  if (in < 0 || fstat(in, &st) != 0) {
    log_printf("copy_file: failed to open or stat: %d,%s,%d\n", in, src, errno);
    if (in >= 0) close(in);
    return ERR_READ;
  }
  // A new file in place of whatever stood there: its mode cannot stop the
  // copy (a read-only new file being restored over), and no link is followed.
  int out = create_fresh_file(dst, O_WRONLY, st.st_mode & 07777);
  if (out < 0) {
    log_printf("copy_file: failed to open: %s,%d\n", dst, errno);
    close(in);
    return ERR_WRITE;
  }
  *dst_touched = true;

  char buffer[8192];
  for (;;) {
    ssize_t n = read(in, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      log_printf("copy_file: failed to read: %d\n", errno);
      rc = ERR_READ;
      break;
    }
    if (!write_all(out, buffer, static_cast<size_t>(n))) {
      log_printf("copy_file: failed to write: %d\n", errno);
      rc = ERR_WRITE;
      break;
    }
  }
  // A delayed write error shows only at close; it is a failed write as well.
  if (close(out) != 0 && rc == OK) {
    log_printf("copy_file: failed to write: %d\n", errno);
    rc = ERR_WRITE;
  }
  close(in);
  return rc;
}

int copy_file(const char* src, char* dst) {
  bool touched;
  return copy_file_tracked(src, dst, &touched);
}
