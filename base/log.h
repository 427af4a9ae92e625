// The update log and the update directory, shared by every subsystem.
// The entry point opens the log before the worker starts and closes it after
// the worker has been joined; in between only the worker writes to it.
#pragma once

#include <cstdio>

// The <dir-path> argument (not copied); set once before the worker starts.
extern const char* update_dir;

// The open log stream, or null while no log is open.
extern FILE* log_file;

// printf-style write of one message to the log; each message carries its own
// "\n". Does nothing and returns 0 while the log is closed. Every message is
// flushed, so that the log of a killed run shows how far it got.
int log_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
