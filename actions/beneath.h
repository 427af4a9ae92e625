// Where manifest paths may lead: beneath the installation directory (the
// run's working directory), through links that stay inside it (`lib ->
// lib64`), never out of it, and never through a link that this run made.
#pragma once

// Opens `path` beneath the installation with `flags` (O_CLOEXEC is added),
// following links only while they stay inside it: relative links, no ".."
// above the installation. The descriptor (the caller's), or -1 with errno
// (EXDEV for a path that leads out).
int open_beneath(const char* path, int flags);

// OK when every existing directory on the way to `path` lies beneath the
// installation and none is a link that this run made. Otherwise logs
// "refused, outside the installation: PATH" or "refused, a symbolic link on
// the way: PATH" and returns ERR_WRITE.
int check_way_beneath(const char* path);

// For Prepare, in manifest order: the same check, made now unless an earlier
// line of the manifest changes a directory on the way (the check then waits
// for Execute), and `path` noted as one that this run changes.
int check_way_in_prepare(const char* path);
