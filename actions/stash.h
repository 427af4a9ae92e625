// Whole-path backups for what a copy cannot keep: a symbolic link, a
// directory, and the file a link replaces. The thing itself is renamed to
// "<path>.kiv-backup", so a link comes back as a link with its target, a
// directory with everything in it, and an interrupted run leaves it whole
// beside its place. Also the run's record of what it created, so that a
// failed run removes only its own work where it stands in the way of an old
// path.
#pragma once

// Moves what stands at `path` to its backup name, never over an existing
// name. OK, or ERR_WRITE (logged) when the name is taken or the rename fails.
int stash_create(const char* path);

// Whether this run stashed `path` and has not concluded the stash yet.
bool stash_recorded(const char* path);

// Ends a stash. status 0: deletes it (a directory only of backup names).
// Otherwise removes what this run created at `path`, renames the stash back,
// and, for a directory, concludes the backups that came back inside it. OK,
// or ERR_WRITE when something else stands in the way (the stash then stays).
int stash_conclude(char* path, int status);

// Records that this run created `path` where nothing stood.
void note_created(const char* path);

// Removes what this run created at `path`: its own files and links, and
// directories left empty once those are gone. True when nothing stands at
// `path` afterwards; false (logged) when something not made by the run does.
bool remove_created(const char* path);

// For the Finish of every action that backs up `path`: on a failed run,
// clears what this run created in the way of `path`'s old content, and
// concludes a stash of `path`. True when the caller must not conclude a
// backup itself: the stash was concluded here, or `path` lies in a directory
// that this run moved aside, whose own Finish restores everything inside.
bool finish_old_path(char* path, int status, int* result);

// True when `path` is a symbolic link (to anything, or to nothing).
bool is_symlink(const char* path);

// True when `path` names an existing link, file or directory (not following
// a link, so a link to nothing exists too).
bool path_exists(const char* path);

// True when `path` lies in no directory that this run moved aside and behind
// no symbolic link: then its old name still leads to its old place.
bool reached_directly(const char* path);

// OK when no existing directory on the way to `path` is a symbolic link, so
// nothing is written through a link; otherwise logs and gives ERR_WRITE.
int check_no_link_on_the_way(const char* path);

// Forgets every stash and created path (a new run; the tests use it).
void stash_record_reset();
