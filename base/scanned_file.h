// Reading a file a scan saw earlier, only if it is still that file: trees
// that tools read may be changed by others between the scan and the read.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "base/fd.h"

// Which file a scan saw at a path.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  uint64_t size = 0;
};

// Opens `path` for reading without following a link at its last name and
// without blocking on a pipe, and checks that it is the regular file `seen`,
// of the size seen. A link or a pipe swapped in for it, a parent directory
// swapped for a link to elsewhere, or a file rewritten to another size, all
// show as another identity. OK; ERR_READ when it cannot be opened (errno
// says why); ERR_BAD_DATA when another file stands there now.
int open_as_scanned(const char* path, const FileIdentity& seen, UniqueFd* fd);
