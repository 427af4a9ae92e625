// Loading the file to be patched: the whole file in one buffer, checked
// against the size and CRC that the patch was made for, then rewritten as a
// version 2 patch's transform expects it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
  // Room for what the transform makes of it (bytes left untouched take no
  // memory); malloc(0) may return null, and an empty source still needs a
  // buffer of its own.
  size_t room = std::max<size_t>(transform_room(*header, size), 1);
  unsigned char* buffer = static_cast<unsigned char*>(malloc(room));
  *source_data = buffer;
  if (buffer == nullptr) return ERR_NO_MEMORY;

  // A short read means the file shrank since the fstat: ERR_BAD_DATA.
  int rc = read_exact(fd, buffer, size, kReadChunk);
  if (rc != OK) return rc;

  if (compute_crc(buffer, size) != header->source_crc) {
    log_printf("CRC check failed\n");
    return ERR_CRC_MISMATCH;
  }
  rc = transform_forward(*header, buffer, &size);
  header->source_data_size = size;
  return rc;
}
