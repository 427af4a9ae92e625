// Checks on the paths that actions change: the manifest's own paths, and what
// stands on the way to them.
#pragma once

// OK when `path` stays inside the installation directory (relative, no ".."
// component) and is short enough for a complete backup name; otherwise logs
// why and returns ERR_SYNTAX, so the run stops before anything changes.
int check_installed_path(const char* path);

// True when `path` is a symbolic link (to anything, or to nothing).
bool is_symlink(const char* path);

// True when `path` names an existing link, file or directory (not following
// a link, so a link to nothing exists too).
bool path_exists(const char* path);

// True when a directory on the way to `path` is a symbolic link.
bool link_on_the_way(const char* path);

// OK when no existing directory on the way to `path` is a symbolic link, so
// nothing is written through a link; otherwise logs and gives ERR_WRITE.
int check_no_link_on_the_way(const char* path);
