// Writing the package of an update plan: each change decided (patch or
// whole file), its entry written, and the manifest last.
#pragma once

#include <cstdint>
#include <string>

#include "packaging/update_plan.h"

struct BuildTotals {
  int added = 0;
  int patched = 0;
  int patched_v2 = 0;  // of those, patches in format version 2
  int removed = 0;
  int linked = 0;
  int dirs_made = 0;
  int dirs_removed = 0;
  int64_t package_size = 0;
  int64_t saved_by_patching = 0;  // compressed whole files minus compressed patches
};

// Called before each change with its 0-based number, the count and the path.
using BuildProgress = void (*)(size_t done, size_t total, const std::string& path);

// Writes `package_path` for `plan` from the trees at old_root and new_root.
// Patches are in format version 1, or in version 2 where it is smaller when
// `max_patch_version` is 2: only for installations whose updater reads
// version 2 (chosen per package: each partial is for one base release).
// Inputs are read only while they are the files the scans saw. On failure
// deletes the package, puts the reason in *error and returns its code
// (ERR_READ, ERR_WRITE, ERR_NO_MEMORY, ERR_BAD_DATA).
int build_package(const std::string& old_root, const std::string& new_root,
                  const UpdatePlan& plan, const std::string& package_path,
                  BuildProgress progress, BuildTotals* totals, std::string* error,
                  uint32_t max_patch_version = 1);

// The manifest line of one change, without its line end; `as_patch` says
// whether a changed file went into the package as a patch.
std::string manifest_line(ChangeKind kind, bool as_patch, const PlannedChange& change);
