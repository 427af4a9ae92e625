// Reading a small file whole: a key, a signature, a status or metadata.
#pragma once

#include <cstddef>
#include <string>

// Reads the file at `path` into *bytes, at most `limit` + 1 bytes, so that a
// caller can tell a file longer than `limit`. Opened with O_NONBLOCK (a named
// pipe put in place of the file reads as empty or fails, never stalls) and
// `flags` (O_NOFOLLOW, say). OK, or ERR_READ with errno set.
int read_small_file(const char* path, size_t limit, int flags, std::string* bytes);
