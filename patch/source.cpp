// Loading the file to be patched: the whole file in one buffer, checked
// against the size and CRC that the patch was made for, then rewritten as a
// version 2 patch's transform expects it.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "base/fd.h"
#include "base/log.h"
#include "base/status.h"
#include "patch/patch_apply.h"

namespace {

constexpr size_t kReadChunk = 8192;

}  // namespace

int LoadSourceFile(PatchHeader* header, int fd, unsigned char** source_data) {
  struct stat st;
  if (fstat(fd, &st) != 0) return ERR_READ;
  if (st.st_size != static_cast<off_t>(header->source_size)) return ERR_BAD_DATA;

  size_t size = header->source_size;
  // malloc(0) may return null; an empty source still needs a buffer of its own.
  unsigned char* buffer = static_cast<unsigned char*>(malloc(size > 0 ? size : 1));
  *source_data = buffer;
  if (buffer == nullptr) return ERR_NO_MEMORY;

  // A short read means the file shrank since the fstat: ERR_BAD_DATA.
  int rc = read_exact(fd, buffer, size, kReadChunk);
  if (rc != OK) return rc;

  if (compute_crc(buffer, size) != header->source_crc) {
    log_printf("CRC check failed\n");
    return ERR_CRC_MISMATCH;
  }
  rc = run_patch_transform(*header, source_data, &size, true);
  header->source_data_size = size;
  return rc;
}
