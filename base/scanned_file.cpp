// Opening a scanned file again, checked against what the scan saw.
#include "base/scanned_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "base/status.h"

int open_as_scanned(const char* path, const FileIdentity& seen, UniqueFd* fd) {
  fd->reset(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  // A link at the name fails with ELOOP: not the file that was seen.
  if (!fd->ok()) return errno == ELOOP ? ERR_BAD_DATA : ERR_READ;
  struct stat st;
  if (fstat(fd->fd, &st) != 0) return ERR_READ;
  if (!S_ISREG(st.st_mode) || st.st_dev != seen.device || st.st_ino != seen.inode ||
      static_cast<uint64_t>(st.st_size) != seen.size) {
    fd->reset();
    return ERR_BAD_DATA;
  }
  // Reads block as usual once it is known to be a regular file.
  int flags = fcntl(fd->fd, F_GETFL);
  if (flags < 0 || fcntl(fd->fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return ERR_READ;
  return OK;
}
