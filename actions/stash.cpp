// Renamed-aside backups of links and directories, and the record of what the
// run created.
#include "actions/stash.h"

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

#include "actions/backup.h"
#include "base/log.h"
#include "base/status.h"

namespace {

// Stashed paths of this run, each with whether it was a directory.
std::map<std::string, bool> stashes;
// Files and links that this run created where nothing stood.
std::set<std::string> created;

bool ends_with_suffix(const std::string& name) {
  size_t n = strlen(kBackupSuffix);
  return name.size() > n && name.compare(name.size() - n, n, kBackupSuffix) == 0;
}

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

bool link_on_the_way(const char* path) {
  std::string p = path;
  for (size_t at = p.find('/'); at != std::string::npos; at = p.find('/', at + 1)) {
    struct stat st;
    if (lstat(p.substr(0, at).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return true;
  }
  return false;
}

// Whether `name` can be reached without passing through a link: a stash that
// went along with a directory moved aside, or lies below a link the run made
// in that directory's place, is not touched through its old path.
bool reachable(const char* name) { return !link_on_the_way(name) && path_exists(name); }

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

// Deletes a stashed directory after a successful run: only names that are
// backups (the run checked every one when it moved the directory).
void delete_backup_tree(const std::string& dir) {
  for (const std::string& name : entries_of(dir)) {
    std::string full = dir + "/" + name;
    struct stat st;
    if (!ends_with_suffix(name) || lstat(full.c_str(), &st) != 0) {
      log_printf("left in place, not a backup: %s\n", full.c_str());
    } else if (S_ISDIR(st.st_mode)) {
      delete_backup_tree(full);
    } else {
      unlink(full.c_str());
    }
  }
  rmdir(dir.c_str());
}

// A directory came back whole: the backups in it, which their own actions
// could not reach while it was away, are concluded now.
void conclude_inside(const std::string& dir, int status) {
  size_t n = strlen(kBackupSuffix);
  for (const std::string& name : entries_of(dir)) {
    if (!ends_with_suffix(name)) continue;
    std::string base = dir + "/" + name.substr(0, name.size() - n);
    int result;
    if (!finish_old_path(&base[0], status, &result) && backup_written_by_run(base.c_str()))
      backup_conclude(&base[0], status);
  }
}

bool inside_stashed_dir(const char* path) {
  std::string p = path;
  for (size_t at = p.find('/'); at != std::string::npos; at = p.find('/', at + 1)) {
    auto s = stashes.find(p.substr(0, at));
    if (s != stashes.end() && s->second) return true;
  }
  return false;
}

}  // namespace

bool is_symlink(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

bool path_exists(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0;
}

int check_no_link_on_the_way(const char* path) {
  if (!link_on_the_way(path)) return OK;
  log_printf("refused, a symbolic link on the way: %s\n", path);
  return ERR_WRITE;
}

bool reached_directly(const char* path) {
  return !link_on_the_way(path) && !inside_stashed_dir(path);
}

void note_created(const char* path) { created.insert(path); }

void stash_record_reset() {
  stashes.clear();
  created.clear();
}

bool stash_recorded(const char* path) { return stashes.count(path) != 0; }

int stash_create(const char* path) {
  char name[1024];
  backup_path(path, name);
  struct stat st;
  if (lstat(path, &st) != 0 || rename_no_replace(path, name) != 0) {
    if (errno == EEXIST) {
      log_printf("backup name taken, not replaced: %s\n", name);
    } else {
      log_printf("rename failed: %d\n", errno);
    }
    return ERR_WRITE;
  }
  stashes[path] = S_ISDIR(st.st_mode);
  // What the run made here before is now in the backup, part of the old state.
  created.erase(path);
  return OK;
}

int stash_conclude(char* path, int status) {
  auto s = stashes.find(path);
  if (s == stashes.end()) return OK;
  char name[1024];
  backup_path(path, name);
  // Moved along with a directory: that directory's own Finish handles it.
  if (!reachable(name)) return OK;
  bool is_dir = s->second;
  if (status == OK) {
    stashes.erase(s);
    if (is_dir) {
      delete_backup_tree(name);
    } else {
      unlink(name);
    }
    return OK;
  }
  if (!remove_created(path)) return ERR_WRITE;
  if (rename_no_replace(name, path) != 0) {
    log_printf("rename failed: %d\n", errno);
    return ERR_WRITE;
  }
  stashes.erase(s);
  if (is_dir) conclude_inside(path, status);
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

bool finish_old_path(char* path, int status, int* result) {
  *result = OK;
  if (stash_recorded(path)) {
    *result = stash_conclude(path, status);
    return true;
  }
  if (inside_stashed_dir(path)) return true;
  if (status == OK || !backup_written_by_run(path)) return false;
  // The backup is copied back by name: a directory or a link that the run
  // put there would take the copy, or pass it on to the link's target.
  struct stat st;
  if (lstat(path, &st) == 0 && !S_ISREG(st.st_mode) && !remove_created(path)) {
    *result = ERR_WRITE;
    return true;
  }
  return false;
}
