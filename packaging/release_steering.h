// Steering a published release without a new version: its rollout schedule,
// a halt and a resume, a withdrawal (with the release put in its place), the
// critical mark and its notes. Each changes the release-wide fields in the
// custom field of every target of the release; the caller publishes.
#pragma once

#include <string>
#include <vector>

#include "feed/release_metadata.h"
#include "packaging/tuf_repository.h"

enum class Steering { kRollout, kHalt, kResume, kWithdraw };

struct SteeringRequest {
  Steering action = Steering::kRollout;
  std::string channel = "stable", release;
  Rollout rollout;                             // kRollout: the new schedule
  std::string replacement, replacement_tree;   // kWithdraw: may be empty
};

// Applies `request` to the targets of its release (and, for a withdrawal
// with a replacement, lists the replacement package). OK, or ERR_BAD_DATA
// when the release is not published or the change makes no sense for it
// (resuming a rollout that is not halted); *error says why.
int steer_release(Repository* repo, const SteeringRequest& request,
                  std::vector<std::string>* report, std::string* error);
