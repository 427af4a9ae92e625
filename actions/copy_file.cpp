// Copying one file to another with its permission bits.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "actions/file_utils.h"
#include "base/fd.h"
#include "base/log.h"
#include "base/status.h"

int copy_file_tracked(const char* src, char* dst, bool* dst_touched) {
  *dst_touched = false;
  int rc = make_parent_dirs(dst);
  if (rc != OK) return rc;

  UniqueFd in(open(src, O_RDONLY));
  struct stat st;
  if (!in.ok() || fstat(in.fd, &st) != 0) {
    log_printf("copy_file: failed to open or stat: %d,%s,%d\n", in.fd, src, errno);
    return ERR_READ;
  }
  // A new file in place of whatever stood there: its mode cannot stop the
  // copy (a read-only new file being restored over), and no link is followed.
  UniqueFd out(create_fresh_file(dst, O_WRONLY, st.st_mode & 07777));
  if (!out.ok()) {
    log_printf("copy_file: failed to open: %s,%d\n", dst, errno);
    return ERR_WRITE;
  }
  *dst_touched = true;

  rc = copy_fd(in.fd, out.fd);
  if (rc != OK) log_printf("copy_file: failed to %s: %d\n", rc == ERR_READ ? "read" : "write", errno);
  // A delayed write error shows only at close; it is a failed write as well.
  if (out.close_checked() != 0 && rc == OK) {
    log_printf("copy_file: failed to write: %d\n", errno);
    rc = ERR_WRITE;
  }
  return rc;
}

int copy_file(const char* src, char* dst) {
  bool touched;
  return copy_file_tracked(src, dst, &touched);
}
