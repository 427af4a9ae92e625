// Backups of installed paths. Before an action replaces or removes what
// stands at a path (a file, a link, a directory), it renames it whole to
// "<path>.kiv-backup": the backup is the old thing itself, complete at every
// moment, with its content, mode and link target, and since a rename copies no
// data there is nothing to flush before the path changes. When the run is
// over, a successful run deletes its backups and a failed one renames each
// back.
//
// The run keeps in memory which backups it made or adopted. Anything at a
// backup name that this run did not put there was moved aside by an earlier,
// interrupted run: it holds the oldest state known, maybe the only copy of it.
// It is never overwritten, and never deleted by a run that fails.
#pragma once

#include <cstddef>

constexpr const char* kBackupSuffix = ".kiv-backup";
// Longest installed path whose backup name fits a 1024-byte buffer.
constexpr size_t kMaxInstalledPath = 1012;

// The backup name of `path`.
void backup_path(const char* path, char (&name)[1024]);

// True when `name` ends in the backup suffix (and is more than the suffix).
bool is_backup_name(const char* name);

// Before an action changes `path`: once per path and run, moves what stands
// there to its backup name, never over an existing name. A backup name that
// already holds something is an interrupted run's backup: it is adopted as
// this run's instead, and whatever stands at `path` then counts as that run's
// work, so a restore may clear it. OK when nothing stood at `path`, or this
// run already held a backup of it; ERR_WRITE (logged) when the rename fails.
int backup_take(const char* path);

// Clears `path` for something new: backup_take, then removes what still
// stands there, which is this run's own work or an interrupted run's. OK, or
// ERR_WRITE (a failed rename is logged).
int replace_old(const char* path);

// True, logged as a failed read of a directory, when a directory stands at
// `path`: an action on a file never moves a whole directory aside.
bool refuse_directory(const char* path);

// Adopts an interrupted run's backup of `path`, as backup_take does, without
// moving anything: for an action that finds its work done already. True when
// the run now holds a backup of `path`.
bool backup_adopt_leftover(const char* path);

// Whether the run holds a backup of `path` (made or adopted) not yet
// concluded.
bool backup_held(const char* path);

// For the Finish of every action that backs up `path`, with the run's status.
// status 0: deletes the backup (a directory only of backups; a leftover with
// a log line). Otherwise clears what this run created at `path` and renames
// the backup back; a directory that comes back brings the backups of its
// contents, which are concluded too. Without a backup, a failed run logs that
// there is none, or that an interrupted run's backup is left alone. A backup
// inside a directory that the run moved aside is left to that directory's own
// Finish. OK, or ERR_WRITE / ERR_READ when the backup stays (logged).
int backup_conclude(const char* path, int status);

// True when a directory on the way to `path` is one that this run moved
// aside (and has not put back).
bool inside_moved_dir(const char* path);

// True when `path` lies in no directory that this run moved aside and behind
// no symbolic link that this run made: then its old name still leads to its
// old place.
bool reached_directly(const char* path);

// True when a directory on the way to `path` is a link that this run made.
bool run_link_on_the_way(const char* path);

// Records that this run created `path` (a file, link or directory).
void note_created(const char* path);

// Removes what this run created at `path`: its own files and links, and
// directories left empty once those are gone. True when nothing stands at
// `path` afterwards; false (logged) when something not made by the run does.
bool remove_created(const char* path);

// True when this run made a symbolic link at `path`.
bool made_link(const char* path);

// Records the mode a directory had before this run first changed it; a later
// change of the same directory keeps the first.
void remember_first_mode(const char* path, unsigned mode);

// Gives `path`, a directory that stands again as before the run, the mode it
// had before this run first changed it, if it did. Never through a link.
void restore_first_mode(const char* path);
