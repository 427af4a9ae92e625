// What an update must do to turn one tree into another, before any file
// content is looked at beyond "same or not".
#pragma once

#include <string>
#include <vector>

#include "packaging/tree_scan.h"

enum class ChangeKind {
  kRemove,       // a file or link in OLD only, or one that NEW turns into a directory
  kRmdir,        // a directory in OLD only, once its contents are removed
  kAdd,          // a file in NEW only, or its permission bits changed, or it was no file
  kPatchOrAdd,   // content changed, same mode: a patch if it pays
  kLink,         // a link new in NEW, or with a new target, or in place of a file
  kMkdir,        // an empty directory new in NEW, or one with a mode other than the default
};

struct PlannedChange {
  ChangeKind kind;
  std::string path;        // relative, as the manifest names it
  std::string patch_entry; // kPatchOrAdd: the package entry a patch would use
  std::string guard;       // non-empty: the --if-present path that guards it
  mode_t mode;             // NEW's permission bits (kAdd, kPatchOrAdd)
  std::string target;      // kLink: the link's target; kMkdir: octal mode, empty for the default
  FileIdentity old_file{}; // kPatchOrAdd: the files the scans saw, read only if they still
  FileIdentity new_file{}; // are those (kAdd: new_file)
};

struct UpdatePlan {
  // In manifest order: removes, then rmdirs deepest first, then the rest by
  // path, then the directories' modes deepest first, so every directory is
  // empty before it goes, every path is free before something new takes it,
  // and a directory is filled before its mode may close it.
  std::vector<PlannedChange> changes;
  std::vector<std::string> refused;    // reasons no correct package can be made
  std::vector<std::string> warnings;   // what the package will not do
};

// Compares the trees under old_root and new_root (already scanned) and fills
// `plan`. `optional` holds the --if-present paths, normalised. Reads files
// only to tell changed from unchanged ones. With `every_mode`, every
// directory of NEW gets a mkdir line with its mode, whatever OLD has.
void plan_update(const std::string& old_root, const TreeScan& old_tree,
                 const std::string& new_root, const TreeScan& new_tree,
                 const std::vector<std::string>& optional, UpdatePlan* plan, bool every_mode = false);

// "a/b/" and "./a/b" become "a/b"; empty when the path is absolute, has a
// ".." component or is empty.
std::string normalise_relative(const std::string& path);
