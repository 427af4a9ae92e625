// Backups of installed files: made just before an action changes a file,
// concluded when the run is over (copied back on failure, then deleted).
//
// The run keeps, in memory, the set of backups it has written itself. Only
// those are ever copied back or deleted by a failed run: a file of the backup
// name that this run did not write is a leftover of an earlier, interrupted
// run and may be the only copy of what that run replaced.
#pragma once

#include <sys/types.h>

#include <cstddef>

constexpr const char* kBackupSuffix = ".kiv-backup";
// Longest installed path whose backup name fits a 1024-byte buffer.
constexpr size_t kMaxInstalledPath = 1012;

// Copies `path` to "<path>.kiv-backup". When this run already backed up
// `path`, the first backup (the content from before the run) is kept and OK
// returned; a regular file left there by an interrupted run is taken as this
// run's backup unchanged. A backup that fails part way is deleted. The code
// of copy_file.
int backup_create(const char* path);

// Ends the life of `path`'s backup. status 0: the backup is deleted (a
// leftover of an earlier run too, with a log line); the result of remove(). status != 0: this run's backup is copied back over
// `path` (a new file in its place), which gets back the permission bits it
// had when it was backed up, and deleted (the copy's code on failure, and the backup stays); a leftover
// backup is logged and left alone.
int backup_conclude(char* path, int status);

// Takes the existing "<path>.kiv-backup" of an interrupted run as this run's
// backup of `path`, after the caller proved it holds the file's old content;
// `mode` is given back to the file on a restore. OK, or ERR_READ without one.
int backup_adopt(const char* path, mode_t mode);

// The backup name of `path`.
void backup_path(const char* path, char (&name)[1024]);

// Forgets every backup recorded so far (a new run; the tests use it).
void backup_record_reset();

// Whether this run wrote the backup of `path` and has not concluded it yet.
bool backup_written_by_run(const char* path);
