// The patch and patch-if actions through the three phases of a run.
#include "actions/patch_action.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "actions/backup.h"
#include "actions/beneath.h"
#include "actions/file_utils.h"
#include "actions/path_check.h"
#include "archive/reader.h"
#include "base/fd.h"
#include "base/log.h"
#include "base/next_token.h"
#include "base/status.h"
#include "patch/patch_apply.h"

int patch_counter = 0;

namespace {

void temporary_patch_path(int number, char (&buffer)[1024]) {
  snprintf(buffer, sizeof buffer, "%s/%d.patch", update_dir, number);
}

}  // namespace

PatchAction::~PatchAction() {
  // Also for an action that was never numbered (-1): harmless, and the same
  // on every path.
  if (update_dir != nullptr) {
    char temporary[1024];
    temporary_patch_path(patch_number, temporary);
    remove(temporary);
  }
  free(source_data);
}

int PatchAction::ParseLine(char* args) {
  entry_name = next_token("\"", &args);
  if (entry_name == nullptr) return ERR_SYNTAX;
  if (next_token("\"", &args) == nullptr) return ERR_SYNTAX;
  path = next_token("\"", &args);
  if (path == nullptr) return ERR_SYNTAX;
  return check_installed_path(path);
}

int PatchAction::Prepare() {
  log_printf("PREPARE PATCH %s\n", path);
  patch_number = patch_counter++;
  int rc = check_way_in_prepare(path);
  if (rc != OK) return rc;
  char temporary[1024];
  temporary_patch_path(patch_number, temporary);
  // Read back through the descriptor it was written with: the name lies in
  // the update directory, where anyone may rename another file over it.
  rc = extract_fresh(entry_name, temporary, &patch_fd.fd);
  if (rc != OK) return rc;
  rc = read_patch_header(patch_fd.fd, &header);
  if (rc != OK) return rc;

  // Through a link that stays inside the installation (its target gives the
  // content and the mode), never one that leads out.
  UniqueFd source(open_beneath(path, O_RDONLY));
  struct stat st;
  if (!source.ok() || fstat(source.fd, &st) != 0) {
    rc = ERR_READ;
  } else {
    source_mode = st.st_mode & 07777;
    rc = LoadSourceFile(&header, source.fd, &source_data);
  }
  if (rc != OK && rc != ERR_NO_MEMORY && load_from_leftover_backup() == OK) return OK;
  if (rc != OK && source.ok()) log_printf("LoadSourceFile failed\n");
  return rc;
}

// A run interrupted while it patched this file leaves the file missing or
// half written and its old content in the backup. When that backup is exactly
// the file this patch was made for, it is the source, and it becomes this
// run's backup, so the rerun completes, or restores it on failure.
int PatchAction::load_from_leftover_backup() {
  char name[1024];
  backup_path(path, name);
  UniqueFd fd(open(name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.ok()) return ERR_READ;
  struct stat st;
  int rc = fstat(fd.fd, &st) == 0 ? OK : ERR_READ;
  if (rc == OK) {
    free(source_data);
    source_data = nullptr;
    rc = LoadSourceFile(&header, fd.fd, &source_data);
  }
  if (rc != OK) return rc;
  log_printf("source taken from the backup of an interrupted run: %s\n", name);
  source_from_backup = true;
  source_mode = st.st_mode & 07777;
  return OK;
}

int PatchAction::Execute() {
  log_printf("EXECUTE PATCH %s\n", path);
  int rc = check_way_beneath(path);
  if (rc != OK) return rc;
  // The file itself may be gone or half written when the source is an
  // interrupted run's backup: the backup holds the content and the mode.
  if (source_from_backup && !backup_adopt_leftover(path)) return ERR_READ;
  rc = replace_old(path);
  if (rc != OK) return rc;
  note_created(path);
  UniqueFd out(create_fresh_file(path, O_WRONLY, source_mode));
  if (!out.ok()) return ERR_WRITE;
  rc = apply_patch(&header, patch_fd.fd, source_data, out.fd);
  if (rc == ERR_WRITE) log_printf("cannot write %s: %d\n", path, errno);
  if (out.close_checked() != 0 && rc == OK) {
    log_printf("cannot write %s: %d\n", path, errno);
    rc = ERR_WRITE;
  }
  // A partial file would hold the disk space that the restore needs.
  if (rc != OK) unlink(path);
  return rc;
}

int PatchAction::Finish(int status) {
  log_printf("FINISH PATCH %s\n", path);
  return backup_conclude(path, status);
}

int PatchIfAction::ParseLine(char* args) {
  guard_file = next_token("\"", &args);
  if (guard_file == nullptr) return ERR_SYNTAX;
  if (next_token("\"", &args) == nullptr) return ERR_SYNTAX;
  return PatchAction::ParseLine(args);
}

int PatchIfAction::Prepare() {
  if (access(guard_file, F_OK) == 0) return PatchAction::Prepare();
  guard_file = nullptr;
  return OK;
}

int PatchIfAction::Execute() {
  if (guard_file == nullptr) return OK;
  return PatchAction::Execute();
}

int PatchIfAction::Finish(int status) {
  if (guard_file == nullptr) return OK;
  return PatchAction::Finish(status);
}

ManifestAction* create_patch_action() { return new (std::nothrow) PatchAction; }
ManifestAction* create_patch_if_action() { return new (std::nothrow) PatchIfAction; }
