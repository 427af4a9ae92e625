// File utilities on which every changing action rests. Paths passed as
// `char*` are cut in place at a "/" and put back before the call returns.
#pragma once

#include <cstddef>

// Creates the missing directories on the way to the file `path`, outermost
// first, with mode 0755; an existing name of any kind counts as made.
// OK or ERR_WRITE.
int make_parent_dirs(char* path);

// Copies `src` to `dst` with the source's permission bits (an existing `dst`
// is truncated and keeps its mode), making `dst`'s directories first. OK,
// ERR_READ (source cannot be opened, examined or read) or ERR_WRITE. A failed
// copy leaves what it wrote of `dst`.
int copy_file(const char* src, char* dst);

// Writes all `size` bytes to `fd`, continuing after partial writes. False
// when a write fails or writes nothing (errno is then 0).
bool write_all(int fd, const char* data, size_t size);

// As copy_file; *dst_touched tells whether `dst` was created or truncated
// before the copy ended, so a caller can clean up a partial destination.
int copy_file_tracked(const char* src, char* dst, bool* dst_touched);
