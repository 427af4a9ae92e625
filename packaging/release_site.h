// The release site that make-release keeps: a plain folder holding a TUF
// repository, plus what later releases need to know of earlier ones.
//
//   SITE/metadata/<n>.root.json        every root, kept so that any client can follow the chain
//   SITE/metadata/<n>.snapshot.json, <n>.targets.json, timestamp.json
//   SITE/targets/<channel>/<release>/<sha256>.<name>    the packages and notes
//   SITE/releases/<channel>/<release>.paths             each release's paths, one a line,
//                                        after its kind and a blank: "f" file, "d" directory, "l" link
//   SITE/.lock                           held by the make-release run at work
#pragma once

#include <map>
#include <string>

#include "base/fd.h"
#include "base/make_directories.h"
#include "packaging/tree_scan.h"

// The kind letters ("f" file, "d" directory, "l" link) by relative path: one
// for a tree, and every kind the path had in any release once merged.
using ReleasePaths = std::map<std::string, std::string>;

// Makes `site` when missing and takes its lock, waiting for a run that holds
// it; the lock lasts as long as *lock is open. OK, or ERR_WRITE with *error.
int lock_site(const std::string& site, UniqueFd* lock, std::string* error);

// The paths of every release published in `site` (all channels), merged;
// ERR_BAD_DATA when a paths file is malformed (*error names it).
int load_published_paths(const std::string& site, ReleasePaths* paths, std::string* error);

// The paths of a scanned tree, as recorded in a release's paths file.
ReleasePaths tree_paths(const TreeScan& tree);

// Writes `paths` as the record of `release` of `channel`. OK or ERR_WRITE.
int write_release_paths(const std::string& site, const std::string& channel,
                        const std::string& release, const ReleasePaths& paths);

// Reads a whole file. False when it cannot.
bool read_text(const std::string& path, std::string* text);

// Removes the directory `dir` and everything in it (for a release that could
// not be completed).
void remove_tree(const std::string& dir);
