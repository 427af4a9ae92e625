// The "link" action.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "actions/file_utils.h"
#include "actions/path_check.h"
#include "actions/stash.h"
#include "actions/tree_actions.h"
#include "base/log.h"
#include "base/next_token.h"
#include "base/status.h"

ManifestAction* create_link_action() { return new (std::nothrow) LinkAction; }

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
  return OK;
}

int LinkAction::Execute() {
  log_printf("EXECUTE LINK %s\n", path);
  int rc = check_no_link_on_the_way(path);
  if (rc != OK) return rc;
  struct stat st;
  if (lstat(path, &st) == 0) {
    if (S_ISLNK(st.st_mode)) {
      char old[1024];
      ssize_t n = readlink(path, old, sizeof old);
      if (n >= 0 && static_cast<size_t>(n) == strlen(target) && memcmp(old, target, n) == 0)
        return OK;
    } else if (S_ISDIR(st.st_mode)) {
      log_printf("a directory stands where the link goes: %s\n", path);
      return ERR_WRITE;
    }
    rc = stash_create(path);
    if (rc != OK) return rc;
    replaced = true;
  } else {
    rc = make_parent_dirs(path);
    if (rc != OK) return rc;
  }
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
  if (!replaced) return OK;
  return stash_conclude(path, status);
}
