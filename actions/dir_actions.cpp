// The "mkdir" and "rmdir" actions.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "actions/backup.h"
#include "actions/beneath.h"
#include "actions/file_utils.h"
#include "actions/path_check.h"
#include "actions/tree_actions.h"
#include "base/fd.h"
#include "base/log.h"
#include "base/next_token.h"
#include "base/status.h"

ManifestAction* create_mkdir_action() { return new (std::nothrow) MkdirAction; }
ManifestAction* create_rmdir_action() { return new (std::nothrow) RmdirAction; }

namespace {

// Whether `dir` holds only backups that this run made of its own contents.
bool holds_only_run_backups(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return false;
  size_t suffix = strlen(kBackupSuffix);
  bool only = true;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (!is_backup_name(name.c_str())) {
      only = false;
      break;
    }
    std::string base = std::string(dir) + "/" + name.substr(0, name.size() - suffix);
    if (!backup_held(base.c_str())) {
      only = false;
      break;
    }
  }
  closedir(d);
  return only;
}

}  // namespace

int MkdirAction::ParseLine(char* args) {
  path = next_token("\"", &args);
  if (path == nullptr) return ERR_SYNTAX;
  // The mode is optional: nothing, or no second argument, after the path.
  if (next_token("\"", &args) != nullptr) {
    if (char* text = next_token("\"", &args)) {
      char* end;
      long value = strtol(text, &end, 8);
      if (*text < '0' || *text > '7' || *end != '\0' || value > 07777) return ERR_SYNTAX;
      mode = static_cast<int>(value);
    }
  }
  return check_installed_path(path);
}

int MkdirAction::Prepare() {
  log_printf("PREPARE MKDIR %s\n", path);
  return check_way_in_prepare(path);
}

int MkdirAction::Execute() {
  log_printf("EXECUTE MKDIR %s\n", path);
  int rc = check_no_link_on_the_way(path);
  if (rc != OK) return rc;
  struct stat st;
  if (lstat(path, &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      log_printf("a file stands where the directory goes: %s\n", path);
      return ERR_WRITE;
    }
    if (mode < 0 || (st.st_mode & 07777) == static_cast<mode_t>(mode)) return OK;
    remember_first_mode(path, st.st_mode & 07777);
  } else {
    rc = make_parent_dirs(path);
    if (rc != OK) return rc;
    if (mkdir(path, 0755) != 0) {
      log_printf("mkdir failed: %d\n", errno);
      return ERR_WRITE;
    }
    if (mode < 0) return OK;
  }
  // On the directory itself, never through a link put there; and not by
  // mkdir's mode, which the umask would cut.
  UniqueFd dir(open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir.ok() || fchmod(dir.fd, static_cast<mode_t>(mode)) != 0) {
    log_printf("chmod failed: %d\n", errno);
    return ERR_WRITE;
  }
  return OK;
}

// Every line that changed the directory's mode gives it back the mode from
// before the run, whatever the order of their Finish.
int MkdirAction::Finish(int status) {
  log_printf("FINISH MKDIR %s\n", path);
  if (status != OK && reached_directly(path)) restore_first_mode(path);
  return OK;
}

int RmdirAction::ParseLine(char* args) {
  path = next_token("\"", &args);
  if (path == nullptr) return ERR_SYNTAX;
  return check_installed_path(path);
}

int RmdirAction::Prepare() {
  log_printf("PREPARE RMDIR %s\n", path);
  return check_way_in_prepare(path);
}

int RmdirAction::Execute() {
  log_printf("EXECUTE RMDIR %s\n", path);
  int rc = check_no_link_on_the_way(path);
  if (rc != OK) return rc;
  struct stat st;
  if (lstat(path, &st) != 0) {
    log_printf("directory cannot be removed because it does not exist; skipping\n");
    skip = true;
    // An interrupted run may have moved it aside: then its backup, with the
    // backups of the files removed from it, is this run's.
    backup_adopt_leftover(path);
    return OK;
  }
  // Whatever the application or its user keeps there is never removed by
  // force: the directory stays, and so does everything in it.
  if (!S_ISDIR(st.st_mode)) {
    log_printf("not a directory, left in place: %s\n", path);
    skip = true;
    return OK;
  }
  if (!holds_only_run_backups(path)) {
    log_printf("directory not empty, left in place: %s\n", path);
    skip = true;
    return OK;
  }
  char name[1024];
  backup_path(path, name);
  if (!backup_held(path) && path_exists(name)) {
    // Moving the directory would need its leftover's name: both stay.
    log_printf("backup name taken, not replaced: %s\n", name);
    return ERR_WRITE;
  }
  // Moved, not removed: the backups of the files removed from it are inside.
  return backup_take(path);
}

int RmdirAction::Finish(int status) {
  log_printf("FINISH RMDIR %s\n", path);
  if (!backup_held(path)) return OK;
  return backup_conclude(path, status);
}
