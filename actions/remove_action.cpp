// The "remove" action.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "actions/backup.h"
#include "actions/beneath.h"
#include "actions/file_actions.h"
#include "actions/path_check.h"
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
  int rc = check_way_in_prepare(path);
  if (rc != OK) return rc;
  // A link to nothing exists too: removing it must not skip it.
  if (!path_exists(path)) {
    log_printf("%s", kSkipMessage);
    skip = 1;
    return OK;
  }
  // Deleting a file needs write permission on its directory, not on the file.
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
  int rc = check_way_beneath(path);
  if (rc != OK) return rc;
  if (!skip && !path_exists(path)) {
    // An earlier action of this run, or an interrupted run, removed it.
    log_printf("%s", kSkipMessage);
    skip = 1;
  }
  // A file found gone may have been removed by an interrupted run, whose
  // backup of it is then this run's to restore or delete.
  if (skip) {
    backup_adopt_leftover(path);
    return OK;
  }
  // "remove" is for files and links. A package that turns any earlier
  // release into its own removes a link where that release has a directory,
  // which an installation of another release may hold as a directory: it
  // stays, as rmdir leaves what is not a directory.
  struct stat st;
  if (lstat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
    log_printf("not a file or link, left in place: %s\n", path);
    skip = 1;
    return OK;
  }
  // The link itself goes, never its target, and comes back as a link.
  rc = backup_take(path);
  if (rc != OK) {
    log_printf("backup_create failed: %d\n", rc);
    return rc;
  }
  // Still there when the backup was an interrupted run's or this run's own:
  // what stands here is then that run's work.
  if (path_exists(path) && unlink(path) != 0) {
    log_printf("remove failed: %d\n", -1);
    return ERR_WRITE;
  }
  return OK;
}

int RemoveAction::Finish(int status) {
  log_printf("FINISH REMOVE %s\n", path);
  if (skip && !backup_held(path)) return OK;
  return backup_conclude(path, status);
}
