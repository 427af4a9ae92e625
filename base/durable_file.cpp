// Fresh files and durable writes.
#include "base/durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/fd.h"
#include "base/status.h"

int create_fresh_file(const char* path, int flags, mode_t mode) {
  // Whatever stands at the name goes first: a link would be followed, a pipe
  // would block, another user's file would be written. Someone may plant a
  // new one between the two calls; O_EXCL then fails rather than follow it,
  // and a few attempts outlast a casual race.
  for (int attempt = 0; attempt < 3; attempt++) {
    if (unlink(path) != 0 && errno != ENOENT) return -1;
    int fd = open(path, flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

int create_output_file(const char* path, int flags, mode_t mode) {
  struct stat st;
  if (lstat(path, &st) == 0 && !S_ISLNK(st.st_mode) && !S_ISREG(st.st_mode)) {
    if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      return -1;
    }
    return open(path, (flags & ~O_CREAT) | O_NOFOLLOW | O_CLOEXEC);
  }
  return create_fresh_file(path, flags, mode);
}

int sync_dir(const char* dir) {
  UniqueFd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.ok() || fsync(fd.fd) != 0) return ERR_WRITE;
  return OK;
}

int sync_parent_dir(const char* path) {
  std::string p = path;
  size_t slash = p.rfind('/');
  if (slash == std::string::npos) return sync_dir(".");
  return sync_dir(slash == 0 ? "/" : p.substr(0, slash).c_str());
}

int sync_file_system(int fd) { return syncfs(fd) == 0 ? OK : ERR_WRITE; }

int write_file_atomically(const char* path, const void* data, size_t size, mode_t mode) {
  std::string temp = std::string(path) + ".tmp";
  UniqueFd fd(create_fresh_file(temp.c_str(), O_WRONLY, mode));
  if (!fd.ok()) return ERR_WRITE;
  // The mode is set on the descriptor: the umask must not cut it.
  bool ok = fchmod(fd.fd, mode) == 0 && write_all(fd.fd, data, size) == OK &&
            fdatasync(fd.fd) == 0;
  ok = fd.close_checked() == 0 && ok;
  if (ok && rename(temp.c_str(), path) == 0) return sync_parent_dir(path);
  int error = errno;
  unlink(temp.c_str());
  errno = error;
  return ERR_WRITE;
}
