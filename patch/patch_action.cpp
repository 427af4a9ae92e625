// The patch and patch-if actions through the three phases of a run.
#include "patch/patch_action.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "actions/backup.h"
#include "actions/path_check.h"
#include "archive/reader.h"
#include "driver/log.h"
#include "driver/next_token.h"
#include "driver/status.h"
#include "patch/patch_apply.h"

int patch_counter = 0;

namespace {

void temporary_patch_path(int number, char (&buffer)[1024]) {
  snprintf(buffer, sizeof buffer, "%s/%d.patch", update_dir, number);
}

}  // namespace

PatchAction::~PatchAction() {
  if (patch_fd >= 0) close(patch_fd);
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
  char temporary[1024];
  temporary_patch_path(patch_number, temporary);
  remove(temporary);

  int rc = package_reader.ExtractEntry(entry_name, temporary);
  if (rc != OK) return rc;
  patch_fd = open(temporary, O_RDONLY);
  if (patch_fd < 0) return ERR_READ;
  rc = read_patch_header(patch_fd, &header);
  if (rc != OK) return rc;

  int fd = open(path, O_RDONLY);
  if (fd < 0) return ERR_READ;
  rc = LoadSourceFile(&header, fd, &source_data);
  if (rc != OK) log_printf("LoadSourceFile failed\n");
  close(fd);
  return rc;
}

int PatchAction::Execute() {
  log_printf("EXECUTE PATCH %s\n", path);
  // stat, not lstat: a link's target gives the mode, and the link itself is
  // replaced by a regular file below.
  struct stat st;
  if (stat(path, &st) != 0) return ERR_READ;
  int rc = backup_create(path);
  if (rc != OK) return rc;
  if (remove(path) != 0) return ERR_WRITE;
  int out = open(path, O_WRONLY | O_CREAT | O_TRUNC, st.st_mode & 07777);
  if (out < 0) return ERR_WRITE;
  rc = apply_patch(&header, patch_fd, source_data, out);
  close(out);
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
