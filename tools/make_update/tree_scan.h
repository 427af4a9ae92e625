// The contents of one installation tree, as make-update compares them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

struct TreeFile {
  mode_t mode;    // permission bits
  uint64_t size;
};

struct TreeScan {
  std::map<std::string, TreeFile> files;  // regular files by relative path, sorted
  std::set<std::string> dirs;             // directories by relative path
  std::vector<std::string> problems;      // what the tree holds that no manifest can carry
};

// Walks `root` (not following links) into `scan`. Symbolic links, special
// files and names that a manifest line cannot hold are listed in
// scan->problems. OK, or ERR_READ when a directory cannot be read (its name
// is then the last problem).
int scan_tree(const std::string& root, TreeScan* scan);
