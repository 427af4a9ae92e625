// Publishing a release into make-release's TUF repository: its full package,
// partial packages from earlier releases, notes, each a target whose custom
// field says what it is (feed/release_metadata.h), and the full package of an
// older release put in place of a withdrawn one.
#pragma once

#include <string>
#include <vector>

#include "feed/release_metadata.h"
#include "packaging/tuf_repository.h"

// An earlier release to make a partial package from.
struct PartialSource {
  std::string version, tree;
};

struct PublishRequest {
  std::string channel = "stable", release, tree;
  std::vector<PartialSource> partials;
  // Non-empty: the first release whose updater reads patch format 2. Partials
  // from it and later releases may patch in format 2 where that is smaller;
  // all others, and every full package, stay in format 1.
  std::string patch_format_2_since;
  ReleaseInfo settings;     // rollout, critical, notes: copied into every target
  std::string notes_file;   // non-empty: published as the release's notes target
};

// Builds the release's packages into SITE/targets, signs each with the first
// targets key (naming its release, archive/release_statement.h), adds them
// to the targets metadata and publishes it. A partial package larger than
// 7/8 of the full one is left out. The release must be newer than every
// release of its channel. On failure nothing new is listed and the files
// made are removed. Lines for the user go to *report.
int publish_release(Repository* repo, const PublishRequest& request,
                    std::vector<std::string>* report, std::string* error);

// Lists the full package of `tree` as release `replacement`, signed as
// replacing `withdrawn` ("<channel>/<withdrawn>/to-<replacement>.zav"); the
// caller publishes the metadata.
int add_replacement(Repository* repo, const std::string& channel, const std::string& withdrawn,
                    const std::string& replacement, const std::string& tree,
                    std::vector<std::string>* report, std::string* error);

// The targets of `release` of `channel` in the targets metadata (paths).
std::vector<std::string> release_targets(const Repository& repo, const std::string& channel,
                                         const std::string& release);
