// The choice of what to offer an installation, from the trusted targets:
// the newest release of its channel that is offered to it (rollout, halt,
// withdrawal, critical mark), or the release put in place of its own when
// that one was withdrawn; then the partial package from its release when one
// is listed and smaller, else the full one.
#pragma once

#include <cstdint>
#include <string>

#include "feed/release_metadata.h"
#include "feed/tuf_metadata.h"

struct OfferInput {
  std::string channel, current, installation_id;
  int64_t now = 0;         // the fixed start time
  bool manual = false;     // a check the user asked for: no waiting for the rollout
  bool full_only = false;  // after a failed run: the full package, which fits any installation
};

struct OfferChoice {
  bool available = false;
  std::string path;  // the package's target path
  TargetFile target;
  ReleaseInfo info;  // the package's custom field
  bool partial = false, replacement = false;
  std::string withheld;  // why the newest newer release is not offered
};

OfferChoice choose_offer(const TargetsRole& targets, const OfferInput& input);
