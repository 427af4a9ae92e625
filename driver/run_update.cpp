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
  return OK;
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
  int fd = -1;
  int rc = extract_fresh("update.manifest", path, &fd);
  if (rc != OK) return rc;

  char* text = nullptr;
  rc = read_manifest(fd, &text);
  close(fd);
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
  rc = execute_phase(chain);
  finish_phase(chain, rc);
  return rc;
}

void write_status_file(int status) {
  char path[1024];
  snprintf(path, sizeof path, "%s/update.status", update_dir);
  int fd = create_fresh_file(path, O_WRONLY, 0644);
  char text[32];
  if (status == OK) {
    snprintf(text, sizeof text, "succeeded\n");
  } else {
    snprintf(text, sizeof text, "failed: %d\n", status);
  }
  // Nobody else would learn the outcome: standard error is the last word.
  bool written = fd >= 0 && write_all(fd, text, strlen(text)) == OK;
  int error = errno;
  if (fd >= 0 && close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (!written) fprintf(stderr, "cannot write %s: %d\n", path, error);
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
    // Before the outcome is written: a power cut must never leave
    // "succeeded" beside the marker of the release before.
    if (status == OK) record_installed_release(opened_package_release);
    if (status != OK) {
      log_printf("failed: %d\n", status);
    } else {
      log_printf("succeeded\n");
    }
  }
  write_status_file(status);
  log_printf("calling QuitProgressUI\n");
  QuitProgressUI();
}
