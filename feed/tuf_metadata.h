// TUF metadata: the signed envelope and the four kinds of role it carries
// (root, timestamp, snapshot, targets, the last also for delegated roles),
// read from JSON, with the signature threshold check and delegation paths.
// Fields we do not know are kept in the JSON and covered by signatures.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "feed/tuf_keys.h"

// Every signed metadata file: {"signed": ROLE, "signatures": [{"keyid", "sig"}...]}.
struct Envelope {
  nlohmann::json signed_part;
  std::string canonical;  // the bytes that the signatures sign
  std::vector<std::pair<std::string, std::string>> signatures;  // key id, signature hex
};

struct RoleKeys {
  std::vector<std::string> keyids;
  int64_t threshold = 1;
};

// A metadata file as another one lists it.
struct MetaFile {
  int64_t version = 0;
  int64_t length = -1;                        // -1: not listed
  std::map<std::string, std::string> hashes;  // algorithm -> hex
};

struct SignedCommon {
  std::string type;
  int64_t version = 0;
  int64_t expires = 0;  // Unix seconds
};

struct RootRole {
  SignedCommon common;
  bool consistent_snapshot = false;
  std::map<std::string, TufKey> keys;      // by key id
  std::map<std::string, RoleKeys> roles;  // root, timestamp, snapshot, targets at least
};

struct TimestampRole {
  SignedCommon common;
  MetaFile snapshot;
};

struct SnapshotRole {
  SignedCommon common;
  std::map<std::string, MetaFile> meta;  // "targets.json", "<role>.json"
};

struct TargetFile {
  int64_t length = 0;
  std::map<std::string, std::string> hashes;
  nlohmann::json custom;  // null when absent
};

struct DelegatedRole {
  std::string name;
  RoleKeys keys;
  bool terminating = false;
  std::vector<std::string> paths;              // glob patterns
  std::vector<std::string> path_hash_prefixes;
};

struct TargetsRole {
  SignedCommon common;
  std::map<std::string, TargetFile> targets;
  std::map<std::string, TufKey> delegation_keys;
  std::vector<DelegatedRole> delegations;  // in order of priority
};

// Parses a metadata file's bytes. OK, or ERR_BAD_DATA with *error: not JSON,
// fields missing, a signature key id listed twice, or no canonical form.
int parse_envelope(const std::string& bytes, Envelope* envelope, std::string* error);

// Each reads the role from `envelope` and checks its "_type" is the role's
// own, its version positive, its TUF format version ("spec_version") 1.x
// and every field's type.
// OK, or ERR_BAD_DATA with *error.
int parse_root(const Envelope& envelope, RootRole* root, std::string* error);
int parse_timestamp(const Envelope& envelope, TimestampRole* timestamp, std::string* error);
int parse_snapshot(const Envelope& envelope, SnapshotRole* snapshot, std::string* error);
int parse_targets(const Envelope& envelope, TargetsRole* targets, std::string* error);

// True when at least `role.threshold` distinct keys of `role`, found in
// `keys`, made a valid signature in `envelope`.
bool signed_by_threshold(const Envelope& envelope, const std::map<std::string, TufKey>& keys,
                         const RoleKeys& role);

// True when `role` is trusted for `target_path`: a glob of its paths matches
// ('*' and '?' never match '/'), or the path's SHA-256 starts with one of its
// prefixes.
bool delegation_covers(const DelegatedRole& role, const std::string& target_path);

// "2030-01-01T00:00:00Z" <-> Unix seconds; false for any other form.
bool parse_tuf_time(const std::string& text, int64_t* seconds);
std::string format_tuf_time(int64_t seconds);
