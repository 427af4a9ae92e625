// The manifest actions that deal in whole files: remove, add and add-if.
// Every path an action changes is refused in ParseLine when it could leave
// the installation or is too long for its backup name; the strings point into
// the manifest text, which outlives the actions.
#pragma once

#include "base/manifest_action.h"

// "remove <path>": deletes an installed file after backing it up. A file that
// is absent in Prepare or Execute is skipped, and then no backup is touched.
class RemoveAction : public ManifestAction {
 public:
  char* path = nullptr;
  int skip = 0;

  ~RemoveAction() override = default;
  int ParseLine(char* args) override;
  int Prepare() override;
  int Execute() override;
  int Finish(int status) override;
};

// "add <path>": installs the package entry named `path` as the file `path`,
// a new inode with the entry's mode; an existing file is backed up first.
class AddAction : public ManifestAction {
 public:
  char* path = nullptr;

  ~AddAction() override = default;
  int ParseLine(char* args) override;
  int Prepare() override;
  int Execute() override;
  int Finish(int status) override;
};

// "add-if <guard> <path>": an add that happens only when `guard_file` exists
// in the Prepare phase; a disabled action (guard_file null) logs nothing.
class AddIfAction : public AddAction {
 public:
  char* guard_file = nullptr;

  ~AddIfAction() override = default;
  int ParseLine(char* args) override;
  int Prepare() override;
  int Execute() override;
  int Finish(int status) override;
};

// Factories for the manifest keyword table: a new action, or null when the
// allocation failed. The caller owns the action.
ManifestAction* create_remove_action();
ManifestAction* create_add_action();
ManifestAction* create_add_if_action();
