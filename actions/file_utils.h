// File utilities on which every changing action rests. Paths passed as
// `char*` are cut in place at a "/" and put back before the call returns.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "base/durable_file.h"

// Creates the missing directories on the way to the file `path`, outermost
// first, with mode 0755; an existing name of any kind counts as made.
// OK or ERR_WRITE.
int make_parent_dirs(char* path);

// Copies `src` to `dst` with the source's permission bits, making `dst`'s
// directories first; whatever stood at `dst` is replaced by a new file
// (create_fresh_file), never written through. OK,
// ERR_READ (source cannot be opened, examined or read) or ERR_WRITE. A failed
// copy leaves what it wrote of `dst`.
int copy_file(const char* src, char* dst);

// As copy_file; *dst_touched tells whether `dst` was created
// before the copy ended, so a caller can clean up a partial destination.
int copy_file_tracked(const char* src, char* dst, bool* dst_touched);

// Extracts the package entry `name` into a fresh file `path` (as
// create_fresh_file) with the entry's mode, less the set-user-ID and
// set-group-ID bits unless the package was verified (logged). With `fd`, the
// file stays open for reading at its start in *fd (the caller's): what was
// written is what is read, whatever happens to the name. A failed extraction
// removes the partial file, logging path and errno for a failed write.
// OK, ERR_READ (no such entry), ERR_WRITE or ERR_BAD_DATA.
int extract_fresh(const char* name, const char* path, int* fd = nullptr);
