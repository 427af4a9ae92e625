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

// Extracts the package entry `name` into a fresh file `path` (as
// create_fresh_file) with the entry's mode, less the set-user-ID and
// set-group-ID bits unless the package was verified (logged). With `fd`, the
// file stays open for reading at its start in *fd (the caller's): what was
// written is what is read, whatever happens to the name. A failed extraction
// removes the partial file, logging path and errno for a failed write.
// OK, ERR_READ (no such entry), ERR_WRITE or ERR_BAD_DATA.
int extract_fresh(const char* name, const char* path, int* fd = nullptr);
