// The list that holds a run's actions, in manifest order.
#pragma once

#include "base/manifest_action.h"

struct ActionChain {
  ManifestAction* head = nullptr;
  ManifestAction* tail = nullptr;
  int count = 0;
};

// Appends `action`; the chain owns it from now on.
void action_chain_append(ActionChain* chain, ManifestAction* action);
// Deletes every action in list order and leaves the chain empty.
void action_chain_destroy(ActionChain* chain);
