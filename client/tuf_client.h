// The TUF client workflow: the trusted root brought forward along the chain
// of root versions, then timestamp, snapshot and targets, each checked for
// its signatures, version, hashes, length and expiry against one fixed start
// time; delegated targets found by a pre-order depth-first search; targets
// checked by length and hashes. Trusted metadata lives in a directory of its
// own between runs ("root.json", "timestamp.json", "snapshot.json",
// "targets.json", "<encoded role name>.json"), exactly as it was downloaded.
#pragma once

#include <cstdint>
#include <string>

#include "client/client_result.h"
#include "feed/tuf_metadata.h"

struct TufClient {
  std::string metadata_dir;  // the trusted metadata
  std::string metadata_url;  // the repository's metadata directory
  std::string targets_url;   // the repository's targets directory
  int64_t now = 0;           // the fixed start time of this update (Unix seconds)
  long deadline_seconds = 0; // for each metadata download; 0: none

  // What refresh made trusted.
  RootRole root;
  bool has_timestamp = false, has_snapshot = false, has_targets = false;
  TimestampRole timestamp;
  SnapshotRole snapshot;
  TargetsRole targets;
};

// Makes `metadata_dir` trust `root_bytes` as its root when it trusts no root
// yet or an older version of it; a root it cannot parse is written all the
// same (refresh then fails on it). OK or UPDATE_CLIENT_ERR_LOCAL.
ClientResult tuf_init(const std::string& metadata_dir, const std::string& root_bytes);

// Loads the trusted root and brings root, timestamp, snapshot and targets up
// to date, persisting each new file as soon as it is trusted. OK; NETWORK
// when the repository cannot be reached; REFUSED when metadata does not
// verify, is older than what is trusted or has expired; LOCAL when the
// metadata directory cannot be written.
ClientResult tuf_refresh(TufClient* client);

// After refresh: the target at `path`, searched through the delegations.
// REFUSED when no trusted role lists it.
ClientResult tuf_find_target(TufClient* client, const std::string& path, TargetFile* target);

// Where `target` at `path` is downloaded from (the hash-prefixed name when
// the repository keeps consistent snapshots).
std::string tuf_target_url(const TufClient& client, const std::string& path,
                           const TargetFile& target);

// Checks the file `fd` (read with pread; the caller's) against `target`: its
// length and every hash listed. REFUSED for a mismatch or a hash we do not
// know; LOCAL when it cannot be read.
ClientResult tuf_check_target(int fd, const TargetFile& target);
