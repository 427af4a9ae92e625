// The contents of one installation tree, as make-update compares them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/scanned_file.h"

struct TreeFile {
  mode_t mode = 0;  // permission bits
  FileIdentity id;  // which file the scan saw at the path, and its size
};

struct TreeScan {
  std::map<std::string, TreeFile> files;     // regular files by relative path, sorted
  std::map<std::string, mode_t> dirs;        // directories by relative path, with their modes
  std::map<std::string, std::string> links;  // symbolic links by relative path, with targets
  std::vector<std::string> problems;         // what the tree holds that no manifest can carry
};

// Walks `root` (not following links) into `scan`, the whole tree even after a
// problem. Special files, names and link targets that a manifest line cannot
// hold, names the updater keeps its backups under, and what cannot be read,
// are listed in scan->problems. OK, or
// ERR_READ when something could not be read.
int scan_tree(const std::string& root, TreeScan* scan);

// Whether `path` (which need not exist yet) lies in `tree` or is `tree`,
// once both are resolved to absolute, link-free forms: an output written
// into a tree would be part of the next release made from it.
bool lies_inside(const std::string& path, const std::string& tree);
