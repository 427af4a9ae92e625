// What an update must do to turn one tree into another, before any file
// content is looked at beyond "same or not".
#pragma once

#include <string>
#include <vector>

#include "tools/make_update/tree_scan.h"

enum class ChangeKind {
  kRemove,       // in OLD only
  kAdd,          // in NEW only, or its permission bits changed
  kPatchOrAdd,   // content changed, same mode: a patch if it pays
};

struct PlannedChange {
  ChangeKind kind;
  std::string path;        // relative, as the manifest names it
  std::string patch_entry; // kPatchOrAdd: the package entry a patch would use
  std::string guard;       // non-empty: the --if-present path that guards it
  mode_t mode;             // NEW's permission bits (kAdd, kPatchOrAdd)
};

struct UpdatePlan {
  std::vector<PlannedChange> changes;  // in manifest order: removes, then the rest
  std::vector<std::string> refused;    // reasons no correct package can be made
  std::vector<std::string> warnings;   // what the package will not do
};

// Compares the trees under old_root and new_root (already scanned) and fills
// `plan`. `optional` holds the --if-present paths, normalised. Reads files
// only to tell changed from unchanged ones.
void plan_update(const std::string& old_root, const TreeScan& old_tree,
                 const std::string& new_root, const TreeScan& new_tree,
                 const std::vector<std::string>& optional, UpdatePlan* plan);

// "a/b/" and "./a/b" become "a/b"; empty when the path is absolute, has a
// ".." component or is empty.
std::string normalise_relative(const std::string& path);
