// Reading and writing whole files with plain POSIX calls.
#include "tools/delta/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/status.h"

int read_whole_file(const char* path, unsigned char** data, size_t* size) {
  *data = nullptr;
  *size = 0;
  int fd = open(path, O_RDONLY);
  if (fd < 0) return ERR_READ;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return ERR_READ;
  }
  size_t want = static_cast<size_t>(st.st_size);
  unsigned char* buffer = want > 0 ? static_cast<unsigned char*>(malloc(want)) : nullptr;
  if (want > 0 && buffer == nullptr) {
    close(fd);
    return ERR_NO_MEMORY;
  }
  size_t got = 0;
  int rc = OK;
  while (got < want) {
    ssize_t r = read(fd, buffer + got, want - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) rc = ERR_READ;
    if (r == 0) rc = ERR_BAD_DATA;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  // A file that grew while it was read would give a patch for a file that
  // never existed; one more byte means it did.
  char probe;
  if (rc == OK && read(fd, &probe, 1) != 0) rc = ERR_BAD_DATA;
  close(fd);
  if (rc != OK) {
    free(buffer);
    return rc;
  }
  *data = buffer;
  *size = want;
  return OK;
}

int write_whole_file(const char* path, const unsigned char* data, size_t size) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return ERR_WRITE;
  size_t done = 0;
  while (done < size) {
    ssize_t w = write(fd, data + done, size - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += static_cast<size_t>(w);
  }
  bool ok = done == size;
  if (close(fd) != 0) ok = false;
  if (!ok) {
    unlink(path);
    return ERR_WRITE;
  }
  return OK;
}
