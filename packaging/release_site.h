// The release site that make-release keeps: a plain folder of signed
// packages and feeds, plus what later releases need to know of earlier ones.
//
//   SITE/<channel>.json, SITE/<channel>.json.sig      the feed and its signature
//   SITE/<channel>/<version>/full.zav[.sig]           every file of the release
//   SITE/<channel>/<version>/from-<old>.zav[.sig]     a partial from <old>
//   SITE/<channel>/<version>/paths                    the release's paths, one a line,
//                                                     each after its kind and a blank:
//                                                     "f" file, "d" directory, "l" link
#pragma once

#include <map>
#include <string>

#include "feed/feed.h"
#include "packaging/tree_scan.h"

// The kind letters ("f" file, "d" directory, "l" link) by relative path: one
// for a tree, and every kind the path had in any release once merged.
using ReleasePaths = std::map<std::string, std::string>;

// mkdir -p for a path that may be absolute. OK or ERR_WRITE (errno set).
int make_directories(const std::string& dir);

// Reads the feed at `path` into `feed`. OK (an empty feed when the file does
// not exist yet), ERR_READ, or ERR_BAD_DATA; *error says why.
int load_site_feed(const std::string& path, Feed* feed, std::string* error);

// The paths of every release published in `site` (all channels), merged;
// ERR_BAD_DATA when a paths file is malformed (*error names it).
int load_published_paths(const std::string& site, ReleasePaths* paths, std::string* error);

// The paths of a scanned tree, as recorded in a release's paths file.
ReleasePaths tree_paths(const TreeScan& tree);

// Writes `paths` to `file`. OK or ERR_WRITE.
int write_release_paths(const std::string& file, const ReleasePaths& paths);

// Writes `feed` to `path`, signs it with the secret key file into
// "<path>.sig", and moves both into place by rename, signature first, so a
// reader finds either the old pair, the new pair, or (for an instant) a
// mismatch that fails its check, never a half-written file. OK, or the
// status with *error.
int publish_feed(const std::string& path, const Feed& feed, const std::string& secret,
                 std::string* error);

// Removes the directory `dir` and everything in it (for a release that could
// not be completed).
void remove_tree(const std::string& dir);
