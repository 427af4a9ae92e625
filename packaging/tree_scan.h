// The contents of one installation tree, as make-update compares them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct TreeFile {
  mode_t mode;    // permission bits
  uint64_t size;
  dev_t device;   // with `inode`, which file the scan saw at the path
  ino_t inode;
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
