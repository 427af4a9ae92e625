// The "link" action.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "actions/file_utils.h"
#include "actions/path_check.h"
#include "actions/backup.h"
#include "actions/beneath.h"
#include "actions/tree_actions.h"
#include "base/log.h"
#include "base/next_token.h"
#include "base/status.h"

ManifestAction* create_link_action() { return new (std::nothrow) LinkAction; }

namespace {

// Whether the link at `path` has exactly `target`, however long either is.
bool has_target(const char* path, const char* target) {
  size_t length = strlen(target);
  std::string old(length + 1, '\0');
  ssize_t n = readlink(path, &old[0], old.size());
  return n >= 0 && static_cast<size_t>(n) == length && memcmp(old.data(), target, length) == 0;
}

}  // namespace

int LinkAction::ParseLine(char* args) {
  path = next_token("\"", &args);
  if (path == nullptr) return ERR_SYNTAX;
  if (next_token("\"", &args) == nullptr) return ERR_SYNTAX;
  target = next_token("\"", &args);
  if (target == nullptr) return ERR_SYNTAX;
  return check_installed_path(path);
}

int LinkAction::Prepare() {
  log_printf("PREPARE LINK %s\n", path);
  return check_way_in_prepare(path);
}

int LinkAction::Execute() {
  log_printf("EXECUTE LINK %s\n", path);
  int rc = check_no_link_on_the_way(path);
  if (rc != OK) return rc;
  struct stat st;
  if (lstat(path, &st) == 0) {
    if (S_ISLNK(st.st_mode) && has_target(path, target)) {
      // Done already, maybe by an interrupted run, whose backup is then this
      // run's to restore or delete.
      backup_adopt_leftover(path);
      return OK;
    }
    if (S_ISDIR(st.st_mode)) {
      log_printf("a directory stands where the link goes: %s\n", path);
      return ERR_WRITE;
    }
  } else {
    rc = make_parent_dirs(path);
    if (rc != OK) return rc;
  }
  rc = replace_old(path);
  if (rc != OK) return rc;
  if (symlink(target, path) != 0) {
    log_printf("symlink failed: %d\n", errno);
    return ERR_WRITE;
  }
  note_created(path);
  return OK;
}

// A new link where nothing stood stays after a failed run, as a new file
// does; one that replaced something gives way to it.
int LinkAction::Finish(int status) {
  log_printf("FINISH LINK %s\n", path);
  if (!backup_held(path)) return OK;
  return backup_conclude(path, status);
}
