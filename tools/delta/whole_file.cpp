// Reading and writing whole files with plain POSIX calls.
#include "tools/delta/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "base/fd.h"
#include "base/status.h"

int read_whole_file(const char* path, unsigned char** data, size_t* size) {
  *data = nullptr;
  *size = 0;
  UniqueFd fd(open(path, O_RDONLY));
  if (!fd.ok()) return ERR_READ;
  struct stat st;
  if (fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) return ERR_READ;
  size_t want = static_cast<size_t>(st.st_size);
  unsigned char* buffer = want > 0 ? static_cast<unsigned char*>(malloc(want)) : nullptr;
  if (want > 0 && buffer == nullptr) return ERR_NO_MEMORY;
  int rc = read_exact(fd.fd, buffer, want);
  // A file that grew while it was read would give a patch for a file that
  // never existed; one more byte means it did.
  char probe;
  if (rc == OK && read(fd.fd, &probe, 1) != 0) rc = ERR_BAD_DATA;
  if (rc != OK) {
    free(buffer);
    return rc;
  }
  *data = buffer;
  *size = want;
  return OK;
}

int write_whole_file(const char* path, const unsigned char* data, size_t size) {
  UniqueFd fd(open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644));
  if (!fd.ok()) return ERR_WRITE;
  bool ok = write_all(fd.fd, data, size) == OK;
  if (fd.close_checked() != 0) ok = false;
  if (!ok) {
    unlink(path);
    return ERR_WRITE;
  }
  return OK;
}
