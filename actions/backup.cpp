// Backups by rename, and the record of what the run backed up and created.
#include "actions/backup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "actions/path_check.h"
#include "base/fd.h"
#include "base/log.h"
#include "base/status.h"

namespace {

struct Held {
  bool adopted;  // an interrupted run's backup, taken over
  bool is_dir;
};

// Backups that this run holds, by installed path.
std::map<std::string, Held> held;
// Files, links and directories that this run created where nothing of the
// old installation stood.
std::set<std::string> created;
// The modes directories had before this run first changed them.
std::map<std::string, mode_t> first_modes;

std::vector<std::string> entries_of(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
  }
  return names;
}

// Never over an existing name: that may be an interrupted run's backup, the
// only copy of what it replaced.
int rename_no_replace(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL) return -1;
  // A file system without the flag: the check and the rename are two steps.
  if (path_exists(to)) {
    errno = EEXIST;
    return -1;
  }
  return rename(from, to);
}

// Whether `name` can be reached as it was: a backup that went along with a
// directory moved aside, or lies below a link the run made in that
// directory's place, is not touched through its old path.
bool reachable(const char* name) { return !run_link_on_the_way(name) && path_exists(name); }

void adopt(const std::string& path, const struct stat& backup) {
  held[path] = Held{true, S_ISDIR(backup.st_mode)};
  // What stands at the path was put there by the run that moved the old
  // thing aside: it is this run's to clear on a restore.
  if (path_exists(path.c_str())) created.insert(path);
}

// Deletes a directory backup after a successful run: only names that are
// backups (the run checked every one when it moved the directory).
void delete_backup_tree(const std::string& dir) {
  for (const std::string& name : entries_of(dir)) {
    std::string full = dir + "/" + name;
    struct stat st;
    if (!is_backup_name(name.c_str()) || lstat(full.c_str(), &st) != 0) {
      log_printf("left in place, not a backup: %s\n", full.c_str());
    } else if (S_ISDIR(st.st_mode)) {
      delete_backup_tree(full);
    } else {
      unlink(full.c_str());
    }
  }
  rmdir(dir.c_str());
}

// Forgets the backups that lay inside the directory `dir`, now deleted.
void forget_inside(const std::string& dir) {
  std::string prefix = dir + "/";
  for (auto it = held.lower_bound(prefix); it != held.end() && it->first.compare(0, prefix.size(), prefix) == 0;)
    it = held.erase(it);
}

// A directory came back whole: the backups in it, which their own actions
// could not reach while it was away, are concluded now. In a directory that
// an interrupted run moved aside, they are that run's and are adopted first.
void conclude_inside(const std::string& dir, int status, bool adopted) {
  size_t n = strlen(kBackupSuffix);
  for (const std::string& name : entries_of(dir)) {
    if (!is_backup_name(name.c_str())) continue;
    std::string base = dir + "/" + name.substr(0, name.size() - n);
    if (adopted) backup_adopt_leftover(base.c_str());
    if (backup_held(base.c_str())) backup_conclude(base.c_str(), status);
  }
}

}  // namespace

void backup_path(const char* path, char (&name)[1024]) {
  snprintf(name, sizeof name, "%s%s", path, kBackupSuffix);
}

bool is_backup_name(const char* name) {
  size_t length = strlen(name), n = strlen(kBackupSuffix);
  return length > n && strcmp(name + length - n, kBackupSuffix) == 0;
}

bool made_link(const char* path) { return created.count(path) != 0 && is_symlink(path); }

void remember_first_mode(const char* path, unsigned mode) { first_modes.emplace(path, mode); }

void restore_first_mode(const char* path) {
  auto m = first_modes.find(path);
  if (m == first_modes.end()) return;
  UniqueFd dir(open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir.ok()) fchmod(dir.fd, m->second);
}

bool backup_held(const char* path) { return held.count(path) != 0; }

void note_created(const char* path) { created.insert(path); }

bool inside_moved_dir(const char* path) {
  std::string p = path;
  for (size_t at = p.find('/'); at != std::string::npos; at = p.find('/', at + 1)) {
    auto h = held.find(p.substr(0, at));
    if (h != held.end() && h->second.is_dir) return true;
  }
  return false;
}

bool reached_directly(const char* path) { return !run_link_on_the_way(path) && !inside_moved_dir(path); }

bool run_link_on_the_way(const char* path) {
  std::string p = path;
  for (size_t at = p.find('/'); at != std::string::npos; at = p.find('/', at + 1)) {
    if (made_link(p.substr(0, at).c_str())) return true;
  }
  return false;
}

bool backup_adopt_leftover(const char* path) {
  if (backup_held(path)) return true;
  char name[1024];
  backup_path(path, name);
  struct stat st;
  if (lstat(name, &st) != 0) return false;
  adopt(path, st);
  return true;
}

int backup_take(const char* path) {
  if (backup_adopt_leftover(path)) return OK;
  // The run's own new file holds nothing from before the run.
  if (created.count(path) != 0) return OK;
  char name[1024];
  backup_path(path, name);
  struct stat st;
  if (lstat(path, &st) != 0) return OK;
  if (rename_no_replace(path, name) != 0) {
    log_printf("rename failed: %d\n", errno);
    return ERR_WRITE;
  }
  held[path] = Held{false, S_ISDIR(st.st_mode)};
  // What the run made here before is now in the backup, part of the old state.
  created.erase(path);
  return OK;
}

int replace_old(const char* path) {
  int rc = backup_take(path);
  if (rc != OK) return rc;
  if (path_exists(path) && unlink(path) != 0) return ERR_WRITE;
  return OK;
}

bool refuse_directory(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  log_printf("copy_file: failed to read: %d\n", EISDIR);
  return true;
}

int backup_conclude(const char* path, int status) {
  char name[1024];
  backup_path(path, name);
  auto h = held.find(path);
  if (h == held.end()) {
    // A directory that this run moved aside brings its own contents back.
    if (status == OK || inside_moved_dir(path)) return OK;
    if (path_exists(name)) {
      log_printf("leftover backup not written by this run, left alone: %s\n", name);
    } else {
      log_printf("copy_file: failed to open or stat: -1,%s,%d\n", name, ENOENT);
    }
    return ERR_READ;
  }
  // Moved along with a directory: that directory's own Finish handles it.
  if (!reachable(name)) return OK;
  Held backup = h->second;
  if (status == OK) {
    held.erase(h);
    if (backup.adopted) log_printf("leftover backup of an interrupted run removed: %s\n", name);
    if (!backup.is_dir) {
      unlink(name);
      return OK;
    }
    delete_backup_tree(name);
    forget_inside(path);
    return OK;
  }
  // A file or link of the run's own is replaced in one step; anything else in
  // the way is cleared first, but only what this run made.
  struct stat st;
  bool replace = !backup.is_dir && lstat(path, &st) == 0 && !S_ISDIR(st.st_mode) && created.count(path) != 0;
  if (!replace && !remove_created(path)) return ERR_WRITE;
  if ((replace ? rename(name, path) : rename_no_replace(name, path)) != 0) {
    log_printf("rename failed: %d\n", errno);
    return ERR_WRITE;
  }
  created.erase(path);
  held.erase(path);
  if (backup.adopted) log_printf("restored from the backup of an interrupted run: %s\n", path);
  if (backup.is_dir) {
    restore_first_mode(path);
    conclude_inside(path, status, backup.adopted);
  }
  return OK;
}

bool remove_created(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0) return errno == ENOENT;
  if (S_ISDIR(st.st_mode)) {
    // Only this run can have made a directory where an old path of its own
    // was moved away; it goes once the run's own work in it is gone.
    bool all = true;
    for (const std::string& name : entries_of(path)) {
      all = remove_created((std::string(path) + "/" + name).c_str()) && all;
    }
    if (all && rmdir(path) == 0) return true;
  } else if (created.count(path) != 0 && unlink(path) == 0) {
    created.erase(path);
    return true;
  }
  log_printf("left in place, not made by this run: %s\n", path);
  return false;
}
