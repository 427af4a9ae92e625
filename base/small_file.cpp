// Small whole-file reads.
#include "base/small_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/fd.h"
#include "base/status.h"

int read_small_file(const char* path, size_t limit, int flags, std::string* bytes) {
  bytes->clear();
  UniqueFd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags));
  if (!fd.ok()) return ERR_READ;
  char buffer[4096];
  while (bytes->size() <= limit) {
    size_t want = std::min(limit + 1 - bytes->size(), sizeof buffer);
    ssize_t n = read(fd.fd, buffer, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ERR_READ;
    if (n == 0) break;
    bytes->append(buffer, static_cast<size_t>(n));
  }
  return OK;
}
