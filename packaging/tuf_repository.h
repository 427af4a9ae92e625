// make-release's TUF repository: loading the current metadata of a site,
// sorting the signing keys it was given into roles, and signing and writing
// new versions of the roles; making a repository and its keys, and rotating
// a role's keys.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "feed/tuf_metadata.h"

// Days that each role's metadata lasts when it is signed anew.
std::map<std::string, int64_t> default_expiry_days();

struct Repository {
  std::string site;
  int64_t now = 0;  // Unix seconds, for every expiry of this run
  std::map<std::string, int64_t> expires_days;
  RootRole root;
  TargetsRole targets;
  SnapshotRole snapshot;
  TimestampRole timestamp;
  std::map<std::string, std::vector<TufSigner>> signers;  // by role name
};

// Loads the newest root and the timestamp, snapshot and targets it leads to.
// OK, or ERR_READ / ERR_BAD_DATA with *error (not a site made by init).
int load_repository(const std::string& site, Repository* repo, std::string* error);

// Sorts the secret key files into the roles of the current root that list
// them (a key may serve several). ERR_BAD_DATA when a file is not a key or
// belongs to no role.
int add_signers(Repository* repo, const std::vector<std::string>& key_files, std::string* error);

// Signs new versions of targets (when `targets_changed`), snapshot and
// timestamp, each with the listed length and SHA-256 of the one below it,
// and writes them in that order: clients see nothing of it until
// timestamp.json is replaced, last and atomically. OK, or ERR_BAD_DATA when
// a role lacks a threshold of signers, ERR_WRITE when a file cannot be
// written; *error says which.
int publish_metadata(Repository* repo, bool targets_changed, std::string* error);

// Signs a new version of the timestamp alone, with a new expiry (the daily
// job, for which only the timestamp key needs to be online). Statuses as
// publish_metadata.
int resign_timestamp(Repository* repo, std::string* error);

// Makes SITE and a first version of every role, with `thresholds` keys per
// role made new in `keys_dir` ("<role>-<n>.secret" and ".pub"), and
// "updater.pub", the targets keys that packages are signed with, for the
// updater. Lines for the user go to *report.
int init_repository(const std::string& site, const std::string& keys_dir,
                    const std::map<std::string, int64_t>& thresholds,
                    const std::map<std::string, int64_t>& expires_days, int64_t now,
                    std::vector<std::string>* report, std::string* error);

// Replaces every key of `role` by `threshold` keys made new in `keys_dir`
// (0: as many as its threshold now), in root version N+1 signed by the old
// root keys and, for the root role, by the new ones too; then signs anew
// what the role signs. Needs the old root keys among the signers.
int rotate_role(Repository* repo, const std::string& role, const std::string& keys_dir,
                int64_t threshold, std::vector<std::string>* report, std::string* error);
