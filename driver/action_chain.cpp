// The singly linked list of a run's actions.
#include "driver/action_chain.h"

void action_chain_append(ActionChain* chain, ManifestAction* action) {
  if (chain->tail != nullptr) {
    chain->tail->next = action;
  } else {
    chain->head = action;
  }
  chain->tail = action;
  chain->count++;
}

void action_chain_destroy(ActionChain* chain) {
  ManifestAction* action = chain->head;
  while (action != nullptr) {
    ManifestAction* next = action->next;
    delete action;
    action = next;
  }
  chain->head = nullptr;
  chain->tail = nullptr;
  chain->count = 0;
}
