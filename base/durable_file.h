// Writes that survive a power cut, in one order: write a new file under a
// temporary name, flush it, rename it into place, flush the directory. A
// flush that fails is a failure, never retried as if it had worked: Linux may
// already have dropped the pages it could not write.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Removes whatever stands at `path` (a link, a pipe, another's file) and
// creates a new regular file there, opened with `flags` | O_CREAT | O_EXCL |
// O_NOFOLLOW | O_CLOEXEC, so nothing is ever written through a name that
// someone else prepared. The descriptor (the caller's), or -1 with errno.
int create_fresh_file(const char* path, int flags, mode_t mode);

// For a program's output at a path its user named: a link or a regular file
// standing there is replaced by a new file (as create_fresh_file), never
// written through; a device or a pipe (/dev/null) is written as it stands,
// never removed. The descriptor (the caller's), or -1 with errno.
int create_output_file(const char* path, int flags, mode_t mode);

// Flushes the directory `dir` itself (its entries: names made, renamed or
// removed in it). OK, or ERR_WRITE with errno.
int sync_dir(const char* dir);

// Flushes the directory that holds `path` ("." for a bare name). OK or
// ERR_WRITE with errno.
int sync_parent_dir(const char* path);

// Flushes the whole file system that holds `fd` (syncfs): one call for a
// phase's many files. OK, or ERR_WRITE with errno (a write-back error of any
// file there since the descriptor was opened shows here).
int sync_file_system(int fd);

// Writes `size` bytes as the new content of `path`, atomically and durably: a
// new file "<path>.tmp" (created fresh, mode `mode`), flushed, renamed over
// `path`, and `path`'s directory flushed. A link at `path` is replaced, never
// followed. OK, or ERR_WRITE with errno; on failure `path` keeps what it had
// and the temporary file is gone.
int write_file_atomically(const char* path, const void* data, size_t size, mode_t mode);
