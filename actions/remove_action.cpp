// The "remove" action.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "actions/backup.h"
#include "actions/file_actions.h"
#include "actions/path_check.h"
#include "actions/stash.h"
#include "base/log.h"
#include "base/next_token.h"
#include "base/status.h"

namespace {

const char kSkipMessage[] = "file cannot be removed because it does not exist; skipping\n";

}  // namespace

ManifestAction* create_remove_action() { return new (std::nothrow) RemoveAction; }

int RemoveAction::ParseLine(char* args) {
  path = next_token("\"", &args);
  if (path == nullptr) return ERR_SYNTAX;
  return check_installed_path(path);
}

int RemoveAction::Prepare() {
  log_printf("PREPARE REMOVE %s\n", path);
  // A link to nothing exists too: removing it must not skip it.
  if (!path_exists(path)) {
    log_printf("%s", kSkipMessage);
    skip = 1;
    return OK;
  }
  // Deleting a file needs write permission on its directory, not on the file.
  int rc;
  char* slash = strrchr(path, '/');
  if (slash != nullptr) {
    *slash = '\0';
    rc = access(path, W_OK);
    *slash = '/';
  } else {
    rc = access(".", W_OK);
  }
  if (rc != 0) {
    log_printf("access failed: %d\n", errno);
    return ERR_WRITE;
  }
  return OK;
}

int RemoveAction::Execute() {
  log_printf("EXECUTE REMOVE %s\n", path);
  if (skip) return OK;
  // An earlier action of this run may have removed the file already.
  if (!path_exists(path)) {
    log_printf("%s", kSkipMessage);
    skip = 1;
    return OK;
  }
  // The link itself goes, never its target, and comes back as a link.
  if (is_symlink(path)) return stash_create(path);
  int rc = backup_create(path);
  if (rc != OK) {
    log_printf("backup_create failed: %d\n", rc);
    return rc;
  }
  int removed = remove(path);
  if (removed != 0) {
    log_printf("remove failed: %d\n", removed);
    return ERR_WRITE;
  }
  return OK;
}

int RemoveAction::Finish(int status) {
  log_printf("FINISH REMOVE %s\n", path);
  // A file that was already gone may have been removed by an interrupted
  // run; a successful run must not leave that run's backup behind.
  if (skip) return status == OK && reached_directly(path) ? backup_conclude(path, OK) : OK;
  int result;
  if (finish_old_path(path, status, &result)) return result;
  return backup_conclude(path, status);
}
