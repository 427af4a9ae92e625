// The worker thread's update run: package, manifest, the three phases and the
// status file.
#include "driver/run_update.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "actions/file_utils.h"
#include "archive/reader.h"
#include "base/durable_file.h"
#include "base/fd.h"
#include "base/log.h"
#include "driver/manifest.h"
#include "driver/package_trust.h"
#include "base/progress.h"
#include "base/status.h"

namespace {

int prepare_phase(ActionChain* chain) {
  for (ManifestAction* a = chain->head; a != nullptr; a = a->next) {
    int rc = a->Prepare();
    if (rc != OK) return rc;
  }
  SetProgressPercent(1.0f);
  return OK;
}

// Puts every change of the installation on disk at once, for the phase that
// made it: one syncfs costs far less than a flush per file.
int flush_installation() {
  UniqueFd installation(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!installation.ok()) {
    // An installation directory that may not be read cannot be named to
    // syncfs; every file system is flushed instead.
    sync();
    return OK;
  }
  if (sync_file_system(installation.fd) == OK) return OK;
  log_printf("cannot flush the installation to disk: %d\n", errno);
  return ERR_WRITE;
}

// From the first change on, an earlier run's status would describe a tree
// that no longer stands: a power cut must find no status rather than that one.
void discard_status_file() {
  char path[1024];
  snprintf(path, sizeof path, "%s/update.status", update_dir);
  if (unlink(path) == 0) sync_dir(update_dir);
}

int execute_phase(ActionChain* chain) {
  // Percentages run from 1 towards 99 in equal steps; computed in single
  // precision so that the figures are the same on every build.
  float step = static_cast<float>(chain->count / 98.0);
  int i = 0;
  for (ManifestAction* a = chain->head; a != nullptr; a = a->next, i++) {
    SetProgressPercent(static_cast<float>(i / step + 1.0));
    int rc = a->Execute();
    if (rc != OK) {
      log_printf("### execution failed\n");
      return rc;
    }
  }
  // Every new file is on disk before Finish deletes a backup.
  int rc = flush_installation();
  if (rc != OK) log_printf("### execution failed\n");
  return rc;
}

void finish_phase(ActionChain* chain, int status) {
  for (ManifestAction* a = chain->head; a != nullptr; a = a->next) a->Finish(status);
  SetProgressPercent(100.0f);
}

// Steps 2 to 10 of the run: everything between opening and closing the package.
int apply_package() {
  char path[1024];
  snprintf(path, sizeof path, "%s/update.manifest", update_dir);
  // The manifest stays in the update directory for people to read, but the
  // run reads it only through the descriptor it wrote it with.
  UniqueFd fd;
  int rc = extract_fresh("update.manifest", path, &fd.fd);
  if (rc != OK) return rc;

  char* text = nullptr;
  rc = read_manifest(fd.fd, &text);
  fd.reset();
  if (rc == OK) {
    ActionChain chain;
    rc = parse_manifest(text, &chain);
    if (rc == OK) rc = run_phases(&chain);
    action_chain_destroy(&chain);
  }
  free(text);
  return rc;
}

}  // namespace

int run_phases(ActionChain* chain) {
  int rc = prepare_phase(chain);
  if (rc != OK) return rc;
  discard_status_file();
  rc = execute_phase(chain);
  // "succeeded" is on disk before Finish deletes the backups: a power cut in
  // between leaves the new tree, its status and leftover backups, which any
  // later run deletes.
  if (rc == OK) {
    // The new tree stands complete; deleting backups is all that is left.
    SetProgressPercent(100.0f);
    // The installed release is recorded first: a power cut must never leave
    // "succeeded" beside the marker of the release before.
    record_installed_release(opened_package_release);
    write_status_file(OK);
  }
  finish_phase(chain, rc);
  // What the restores put back is on disk before the failure is reported.
  if (rc != OK) flush_installation();
  return rc;
}

void write_status_file(int status) {
  char path[1024];
  snprintf(path, sizeof path, "%s/update.status", update_dir);
  char text[32];
  if (status == OK) {
    snprintf(text, sizeof text, "succeeded\n");
  } else {
    snprintf(text, sizeof text, "failed: %d\n", status);
  }
  // Nobody else would learn the outcome: standard error is the last word.
  if (write_file_atomically(path, text, strlen(text), 0644) != OK)
    fprintf(stderr, "cannot write %s: %d\n", path, errno);
}

void run_update() {
  char path[1024];
  snprintf(path, sizeof path, "%s/update.zav", update_dir);
  int status = open_package(path);
  if (status != OK) {
    log_printf("failed: %d\n", status);
  } else {
    status = apply_package();
    package_reader.Close();
    if (status != OK) {
      log_printf("failed: %d\n", status);
    } else {
      log_printf("succeeded\n");
    }
  }
  // A successful run wrote its status before Finish.
  if (status != OK) write_status_file(status);
  log_printf("calling QuitProgressUI\n");
  QuitProgressUI();
}
