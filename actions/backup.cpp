// Backups, and the record of which backups this run wrote.
#include "actions/backup.h"

#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>

#include "actions/file_utils.h"
#include "driver/log.h"
#include "driver/status.h"

namespace {

// Backup names written by this run's own backup_create.
std::set<std::string> written_backups;

void backup_name(const char* path, char (&name)[1024]) {
  snprintf(name, sizeof name, "%s%s", path, kBackupSuffix);
}

}  // namespace

void backup_record_reset() { written_backups.clear(); }

int backup_create(const char* path) {
  char name[1024];
  backup_name(path, name);
  // A second change of the same file in one run must not overwrite the
  // content from before the run.
  if (written_backups.count(name) != 0) return OK;

  bool touched = false;
  int rc = copy_file_tracked(path, name, &touched);
  if (rc != OK) {
    // A partial backup must never be restored over the intact file.
    if (touched) remove(name);
    return rc;
  }
  written_backups.insert(name);
  return OK;
}

int backup_conclude(char* path, int status) {
  char name[1024];
  backup_name(path, name);
  bool ours = written_backups.count(name) != 0;
  if (status != OK) {
    if (!ours && access(name, F_OK) == 0) {
      log_printf("leftover backup not written by this run, left alone: %s\n", name);
      return ERR_READ;
    }
    // Without a backup of ours this fails at opening it, and logs so.
    int rc = copy_file(name, path);
    if (rc != OK) return rc;
  }
  written_backups.erase(name);
  return remove(name);
}
