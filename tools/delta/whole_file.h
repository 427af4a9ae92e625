// Whole files in memory, as the tools read their inputs.
#pragma once

#include <cstddef>

// Reads the regular file `path` into a new malloc'ed buffer (*data, freed by
// the caller with free(); null for an empty file). OK, ERR_READ (cannot be
// opened, read, or is not a regular file), ERR_NO_MEMORY, or ERR_BAD_DATA
// (the file changed size while being read).
int read_whole_file(const char* path, unsigned char** data, size_t* size);

// Creates or truncates `path` (mode 0644 less the umask) and writes `size`
// bytes. OK or ERR_WRITE; a partly written file is removed.
int write_whole_file(const char* path, const unsigned char* data, size_t size);
