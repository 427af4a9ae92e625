// The "add" action, and "add-if", which is an add behind a guard file.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <new>

#include "actions/backup.h"
#include "actions/beneath.h"
#include "actions/file_actions.h"
#include "actions/file_utils.h"
#include "actions/path_check.h"
#include "archive/reader.h"
#include "base/log.h"
#include "base/next_token.h"
#include "base/status.h"

ManifestAction* create_add_action() { return new (std::nothrow) AddAction; }
ManifestAction* create_add_if_action() { return new (std::nothrow) AddIfAction; }

int AddAction::ParseLine(char* args) {
  path = next_token("\"", &args);
  if (path == nullptr) return ERR_SYNTAX;
  return check_installed_path(path);
}

int AddAction::Prepare() {
  log_printf("PREPARE ADD %s\n", path);
  return check_way_in_prepare(path);
}

int AddAction::Execute() {
  log_printf("EXECUTE ADD %s\n", path);
  int rc = check_way_beneath(path);
  if (rc != OK) return rc;
  if (refuse_directory(path)) return ERR_READ;
  // A link is moved aside whole, never written through (to its target, which
  // may lie anywhere), and the new file takes its place.
  if (is_symlink(path) && access(path, F_OK) != 0) log_printf("replacing a link to nothing: %s\n", path);
  if (!path_exists(path)) {
    rc = make_parent_dirs(path);
    if (rc != OK) return rc;
  }
  rc = replace_old(path);
  if (rc != OK) return rc;
  // The new file is a new inode with the entry's mode, not the old one
  // rewritten in place.
  note_created(path);
  return extract_fresh(path, path);
}

int AddAction::Finish(int status) {
  log_printf("FINISH ADD %s\n", path);
  return backup_conclude(path, status);
}

// The guard file is only tested for existence, so it is not path-checked.
int AddIfAction::ParseLine(char* args) {
  guard_file = next_token("\"", &args);
  if (guard_file == nullptr) return ERR_SYNTAX;
  // The text between the two quoted arguments; none means no second one.
  if (next_token("\"", &args) == nullptr) return ERR_SYNTAX;
  return AddAction::ParseLine(args);
}

// Tested once, before any action of the run has changed anything.
int AddIfAction::Prepare() {
  if (access(guard_file, F_OK) != 0) {
    guard_file = nullptr;
    return OK;
  }
  return AddAction::Prepare();
}

int AddIfAction::Execute() {
  if (guard_file == nullptr) return OK;
  return AddAction::Execute();
}

int AddIfAction::Finish(int status) {
  if (guard_file == nullptr) return OK;
  return AddAction::Finish(status);
}
