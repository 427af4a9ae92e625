// Loading the file to be patched and applying a patch to it.
#pragma once

#include "patch/patch_format.h"

// Reads the whole file `fd` (at its start; the caller opens and closes it)
// into a new buffer of transform_room(source_size) bytes, stored in
// *source_data as soon as it is allocated (the caller frees it, also after a
// failure), checks its size and CRC against the header, and runs a version 2
// patch's transform over it: on OK the buffer holds the source as apply_patch
// reads it, header->source_data_size bytes. OK, ERR_READ, ERR_BAD_DATA
// (wrong size, early end), ERR_NO_MEMORY or ERR_CRC_MISMATCH (logged as "CRC
// check failed").
int LoadSourceFile(PatchHeader* header, int fd, unsigned char** source_data);

// Writes the patched file to `out_fd` from the three blocks read from
// `patch_fd` (positioned just after the header) and the source_data_size
// bytes of `source_data` (as LoadSourceFile leaves them). Closes no descriptor.
// Version 1 writes as it goes, so a failure may leave part of the file;
// version 2 writes nothing before the whole result passed its checks. OK,
// ERR_NO_MEMORY, ERR_READ, ERR_BAD_DATA (a malformed or out-of-bounds patch;
// version 2: a result of the wrong size or CRC, logged) or ERR_WRITE.
int apply_patch(const PatchHeader* header, int patch_fd, const unsigned char* source_data,
                int out_fd);
