// Loading the file to be patched and applying a patch to it.
#pragma once

#include "patch/patch_format.h"

// Reads the whole file `fd` (at its start; the caller opens and closes it)
// into a new buffer of exactly header->source_size bytes, stored in
// *source_data as soon as it is allocated (the caller frees it, also after a
// failure), and checks its size and CRC against the header. OK, ERR_READ,
// ERR_BAD_DATA (wrong size, early end), ERR_NO_MEMORY or ERR_CRC_MISMATCH
// (logged as "CRC check failed").
int LoadSourceFile(const PatchHeader* header, int fd, unsigned char** source_data);

// Writes the patched file to `out_fd` from the three blocks read from
// `patch_fd` (positioned just after the header) and the `source_size` bytes
// of `source_data`. Closes no descriptor. OK, ERR_NO_MEMORY, ERR_READ,
// ERR_BAD_DATA (a malformed or out-of-bounds patch) or ERR_WRITE.
int apply_patch(const PatchHeader* header, int patch_fd, const unsigned char* source_data,
                int out_fd);
