// The "patch" and "patch-if" manifest actions: rewrite an installed file with
// a binary patch taken from the package, unconditionally or only when a guard
// file exists at Prepare time.
//
// Every check of the patch and of the installed file happens in Prepare;
// Execute backs the file up, then writes the new content in its place.
#pragma once

#include <sys/types.h>

#include "base/fd.h"
#include "base/manifest_action.h"
#include "patch/patch_format.h"

// Numbers the temporary patch files of the process's run: 0, 1, 2, ... in the
// order in which patch actions are prepared.
extern int patch_counter;

class PatchAction : public ManifestAction {
 public:
  char* entry_name = nullptr;  // package entry holding the patch; in the manifest text
  char* path = nullptr;        // installed file to patch; in the manifest text
  int patch_number = -1;       // of "<update_dir>/<n>.patch"; -1 until prepared
  PatchHeader header{};
  UniqueFd patch_fd;                     // open from Prepare to destruction
  unsigned char* source_data = nullptr;  // owned; the installed file as Prepare read it
  bool source_from_backup = false;       // the source is an interrupted run's backup
  mode_t source_mode = 0;                // the source's permission bits, for the result

  // Removes the temporary patch file and frees source_data.
  ~PatchAction() override;
  // `"entry" "path"`; the path must pass check_installed_path. OK or ERR_SYNTAX.
  int ParseLine(char* args) override;
  // Extracts the patch to its temporary file, checks its header, and loads
  // and checks the installed file. Changes nothing installed.
  int Prepare() override;
  // Backs the file up, deletes it and writes the patched file with its mode.
  int Execute() override;
  // Discards (status 0) or restores the backup; the result of backup_conclude.
  int Finish(int status) override;

 private:
  // Loads the source from a leftover "<path>.kiv-backup" instead; OK when it
  // is exactly the file the patch was made for.
  int load_from_leftover_backup();
};

class PatchIfAction : public PatchAction {
 public:
  char* guard_file = nullptr;  // in the manifest text; null once Prepare found it absent

  // `"guard" "entry" "path"`. OK or ERR_SYNTAX.
  int ParseLine(char* args) override;
  // Without the guard file the action is disabled: nothing logged, numbered,
  // extracted or changed, here or in the later phases.
  int Prepare() override;
  int Execute() override;
  int Finish(int status) override;
};

// Factories for the manifest keyword table; null when allocation fails.
ManifestAction* create_patch_action();
ManifestAction* create_patch_if_action();
