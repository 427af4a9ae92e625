// Descriptor helpers; the EINTR policy is in the header.
#include "base/fd.h"

#include <unistd.h>

#include <cerrno>

#include "base/status.h"

UniqueFd::~UniqueFd() {
  if (fd >= 0) close(fd);
}

void UniqueFd::reset(int f) {
  if (fd >= 0) close(fd);
  fd = f;
}

int UniqueFd::release() {
  int f = fd;
  fd = -1;
  return f;
}

int UniqueFd::close_checked() {
  int f = release();
  if (f < 0) return 0;
  return close(f);
}

int write_all(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    errno = 0;
    ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    // Zero bytes for a non-empty request is a failure too: a copy must never
    // end as a success with bytes missing.
    if (n <= 0) return ERR_WRITE;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return OK;
}

int read_exact(int fd, void* data, size_t size, size_t most) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = read(fd, p, size < most ? size : most);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ERR_READ;
    if (n == 0) return ERR_BAD_DATA;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return OK;
}

int copy_fd(int in, int out) {
  char buffer[8192];
  for (;;) {
    ssize_t n = read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ERR_READ;
    if (n == 0) return OK;
    if (write_all(out, buffer, static_cast<size_t>(n)) != OK) return ERR_WRITE;
  }
}

int read_whole_at(int fd, void (*consume)(void* context, const unsigned char* data, size_t size),
                  void* context, int* detail) {
  unsigned char buffer[32768];
  off_t position = 0;
  for (;;) {
    ssize_t n = pread(fd, buffer, sizeof buffer, position);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *detail = errno;
      return ERR_READ;
    }
    if (n == 0) return OK;
    consume(context, buffer, static_cast<size_t>(n));
    position += n;
  }
}
