// What our releases say about themselves in the signed "custom" field of each
// target, so that a mirror can change none of it. Target paths:
//
//   <channel>/<release>/full.zav            every file of the release
//   <channel>/<release>/from-<base>.zav     a partial package from <base>
//   <channel>/<withdrawn>/to-<release>.zav  the full package of <release> put in
//                                           place of the withdrawn one
//   <channel>/<release>/notes.txt           release notes too long for "notes"
//
// and the custom field of each:
//
//   {"channel": "stable", "release": "2.0", "kind": "full"|"partial"|"replacement"|"notes",
//    "base": "1.0",                      partial: the release it updates
//    "replaces": "2.1",                  replacement: the withdrawn release
//    "signature": "zav-release-signature 1\n...",   packages: update.zav.sig
//    "rollout": {"start": T, "interval": S, "steps": [5, 25, 100]} or {"percent": 20},
//               with "halted_at": T while halted
//    "withdrawn": {"replacement": "1.5"}, "critical": true,
//    "notes": "short text", "notes_target": "stable/2.0/notes.txt"}
//
// The release-wide fields (rollout, withdrawn, critical, notes) are the same
// in every target of a release.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

struct Rollout {
  bool scheduled = false;      // false: every installation at once
  int64_t start = 0;           // Unix seconds of the first step
  int64_t interval = 0;        // seconds between steps
  std::vector<double> steps;   // percentages, growing, the last 100
  double percent = -1;         // >= 0: a fixed share instead of steps
  int64_t halted_at = 0;       // >0: halted since then
};

struct ReleaseInfo {
  std::string channel, release, kind, base, replaces, signature;
  Rollout rollout;
  bool withdrawn = false;
  std::string replacement;  // withdrawn: the release put in its place (may be empty)
  bool critical = false;
  std::string notes, notes_target;
};

// Reads a target's custom field. OK, or ERR_BAD_DATA with *error when a field
// of ours is missing or malformed (a target without "release" is not ours).
int read_release_info(const nlohmann::json& custom, ReleaseInfo* info, std::string* error);
nlohmann::json release_info_json(const ReleaseInfo& info);

// The share of installations (0 to 1) that `rollout` covers at `now`; 0 while
// halted.
double rollout_share(const Rollout& rollout, int64_t now);

// An installation's place in [0, 1) for one release: the first 8 bytes of
// SHA-256("<installation id>/<channel>/<release>"), so that each release picks
// its own first installations and the place of one never changes.
double rollout_position(const std::string& installation_id, const std::string& channel,
                        const std::string& release);

// "<channel>/<release>/<name>".
std::string release_target_path(const std::string& channel, const std::string& release,
                                 const std::string& name);
