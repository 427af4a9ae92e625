// The check that every action applies, in ParseLine, to a path it changes.
#pragma once

// OK when `path` stays inside the installation directory (relative, no ".."
// component) and is short enough for a complete backup name; otherwise logs
// why and returns ERR_SYNTAX, so the run stops before anything changes.
int check_installed_path(const char* path);
