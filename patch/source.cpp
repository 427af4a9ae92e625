// Loading the file to be patched: the whole file in one buffer, checked
// against the size and CRC that the patch was made for.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "base/log.h"
#include "base/status.h"
#include "patch/patch_apply.h"

namespace {

constexpr size_t kReadChunk = 8192;

}  // namespace

int LoadSourceFile(const PatchHeader* header, int fd, unsigned char** source_data) {
  struct stat st;
  if (fstat(fd, &st) != 0) return ERR_READ;
  if (st.st_size != static_cast<off_t>(header->source_size)) return ERR_BAD_DATA;

  size_t size = header->source_size;
  // malloc(0) may return null; an empty source still needs a buffer of its own.
  unsigned char* buffer = static_cast<unsigned char*>(malloc(size > 0 ? size : 1));
  *source_data = buffer;
  if (buffer == nullptr) return ERR_NO_MEMORY;

  size_t done = 0;
  while (done < size) {
    ssize_t n = read(fd, buffer + done, std::min(size - done, kReadChunk));
    if (n < 0) return ERR_READ;
    if (n == 0) return ERR_BAD_DATA;  // the file shrank since the fstat
    done += static_cast<size_t>(n);
  }

  if (compute_crc(buffer, size) != header->source_crc) {
    log_printf("CRC check failed\n");
    return ERR_CRC_MISMATCH;
  }
  return OK;
}
