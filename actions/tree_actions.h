// The manifest actions for what is not a regular file: symbolic links and
// directories. Their paths pass the same check as every changing action's,
// and what they replace or remove is moved aside whole (actions/backup.h),
// so a failed run puts back links as links and directories with their
// contents.
#pragma once

#include "base/manifest_action.h"

// "link <path> <target>": makes `path` a symbolic link with the literal
// `target`, which the updater never follows. A file or link standing there
// is replaced; a directory there fails the run (ERR_WRITE).
class LinkAction : public ManifestAction {
 public:
  char* path = nullptr;
  char* target = nullptr;

  int ParseLine(char* args) override;
  int Prepare() override;
  int Execute() override;
  int Finish(int status) override;
};

// "mkdir <path> [<mode>]": makes the directory and its missing parents; an
// existing directory is success. With an octal mode the directory gets
// exactly that mode, also an existing one (which a failed run gives its old
// mode back). Like a new file, a new directory stays after a failed run
// unless it stands where an old path comes back.
class MkdirAction : public ManifestAction {
 public:
  char* path = nullptr;
  int mode = -1;  // -1: none given

  int ParseLine(char* args) override;
  int Prepare() override;
  int Execute() override;
  int Finish(int status) override;
};

// "rmdir <path>": removes a directory once the lines before it have emptied
// it. One that holds anything but this run's own backups is left in place
// with a log line; so is a missing one. The directory is moved to its backup
// name with those backups, and a failed run moves it back.
class RmdirAction : public ManifestAction {
 public:
  char* path = nullptr;
  bool skip = false;

  int ParseLine(char* args) override;
  int Prepare() override;
  int Execute() override;
  int Finish(int status) override;
};

// Factories for the manifest keyword table: null when allocation fails.
ManifestAction* create_link_action();
ManifestAction* create_mkdir_action();
ManifestAction* create_rmdir_action();
