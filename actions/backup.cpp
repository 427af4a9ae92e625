// Backups, and the record of which backups this run wrote.
#include "actions/backup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <set>
#include <string>

#include "actions/file_utils.h"
#include "base/log.h"
#include "base/status.h"

namespace {

// Backup names written by this run's own backup_create, each with the
// permission bits the file had then: the backup's own mode is cut by the
// creation mask, and a replaced file has the new entry's mode by the time it
// is restored, so neither can give the old mode back.
std::map<std::string, mode_t> written_backups;
// Those of them that an interrupted run wrote and this run took over.
std::set<std::string> adopted_leftovers;

void backup_name(const char* path, char (&name)[1024]) {
  snprintf(name, sizeof name, "%s%s", path, kBackupSuffix);
}

}  // namespace

void backup_record_reset() {
  written_backups.clear();
  adopted_leftovers.clear();
}

int backup_create(const char* path) {
  char name[1024];
  backup_name(path, name);
  // A second change of the same file in one run must not overwrite the
  // content from before the run.
  if (written_backups.count(name) != 0) return OK;
  // A regular file at the backup name is an interrupted run's backup, which
  // holds the oldest content known and may be the only copy of it: it becomes
  // this run's backup instead of being overwritten. Anything else there (a
  // link, a pipe) is replaced by the copy below, never written through.
  struct stat leftover;
  if (lstat(name, &leftover) == 0 && S_ISREG(leftover.st_mode)) {
    written_backups[name] = leftover.st_mode & 07777;
    adopted_leftovers.insert(name);
    return OK;
  }

  bool touched = false;
  int rc = copy_file_tracked(path, name, &touched);
  if (rc != OK) {
    // A partial backup must never be restored over the intact file.
    if (touched) remove(name);
    return rc;
  }
  struct stat st;
  written_backups[name] = stat(path, &st) == 0 ? (st.st_mode & 07777) : 0644;
  return OK;
}

int backup_adopt(const char* path, mode_t mode) {
  char name[1024];
  backup_name(path, name);
  if (written_backups.count(name) != 0) return OK;
  if (access(name, F_OK) != 0) return ERR_READ;
  written_backups[name] = mode & 07777;
  return OK;
}

void backup_path(const char* path, char (&name)[1024]) { backup_name(path, name); }

int backup_conclude(char* path, int status) {
  char name[1024];
  backup_name(path, name);
  auto record = written_backups.find(name);
  bool ours = record != written_backups.end();
  if (status != OK) {
    if (!ours && access(name, F_OK) == 0) {
      log_printf("leftover backup not written by this run, left alone: %s\n", name);
      return ERR_READ;
    }
    // Without a backup of ours this fails at opening it, and logs so.
    int rc = copy_file(name, path);
    if (rc != OK) return rc;
    if (adopted_leftovers.count(name) != 0)
      log_printf("restored from the backup of an interrupted run: %s\n", path);
    // The content is back; a mode that cannot be set is no reason to keep the
    // backup, but the log says so.
    if (ours && chmod(path, record->second) != 0) {
      log_printf("backup_conclude: failed to restore mode: %d\n", errno);
    }
  } else if (!ours && access(name, F_OK) == 0) {
    // The run put the file in its new state, so an interrupted run's copy
    // of an older state has nothing left to protect.
    log_printf("leftover backup of an interrupted run removed: %s\n", name);
  }
  if (ours) written_backups.erase(record);
  adopted_leftovers.erase(name);
  return remove(name);
}

bool backup_written_by_run(const char* path) {
  char name[1024];
  backup_name(path, name);
  return written_backups.count(name) != 0;
}
