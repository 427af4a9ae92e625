// File utilities on which every changing action rests. Paths passed as
// `char*` are cut in place at a "/" and put back before the call returns.
#pragma once

// Creates the missing directories on the way to the file `path`, outermost
// first, with mode 0755; an existing name of any kind counts as made.
// OK or ERR_WRITE.
int make_parent_dirs(char* path);

// Copies `src` to `dst` with the source's permission bits (an existing `dst`
// is truncated and keeps its mode), making `dst`'s directories first. OK,
// ERR_READ (source cannot be opened, examined or read) or ERR_WRITE. A failed
// copy leaves what it wrote of `dst`.
int copy_file(const char* src, char* dst);

// As copy_file; *dst_touched tells whether `dst` was created or truncated
// before the copy ended, so a caller can clean up a partial destination.
int copy_file_tracked(const char* src, char* dst, bool* dst_touched);
