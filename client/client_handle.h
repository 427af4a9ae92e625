// The update_client handle behind the opaque pointer of update_client.h, and
// how a call reports through it.
#pragma once

#include <string>

#include "client/client_result.h"
#include "client/update_client.h"

struct update_client {
  std::string metadata_url, targets_url, channel = "stable", trusted_root, update_dir,
      current_version, public_key, installation_id;
  long deadline_seconds = 600;
  update_client_progress progress = nullptr;
  void* progress_arg = nullptr;
  bool manual = false;
  long long time = 0;

  // The last call's outcome; the offer's strings point into these.
  std::string message;
  update_client_offer offer{};
  std::string offer_version, offer_notes, offer_withheld;
};

// Each metadata file gets at most this much of the deadline: a stalled
// timestamp must not hold a check for the length of a package download.
constexpr long kMetadataDeadlineSeconds = 60;

// Sets the handle's message from `r` (or `success` when it is OK) and
// returns r.code.
int report(update_client* client, const ClientResult& r, const std::string& success);

// Clears the offer, keeping its strings valid ("").
void clear_offer(update_client* client);
