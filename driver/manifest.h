// Reading the manifest text and turning its lines into actions.
#pragma once

#include "driver/action_chain.h"

// Reads the whole file open at `fd` (from its current position, which is its
// start) into a new NUL-terminated buffer in *text (the caller frees it with
// free(), also after a failure); `fd` stays open and the caller's. OK,
// ERR_READ, ERR_BAD_DATA (file shorter than its size), ERR_SYNTAX (a NUL byte
// in the text, logged) or ERR_NO_MEMORY.
int read_manifest(int fd, char** text);

// Creates the action for one manifest keyword; null when the keyword is not
// in the table. *known tells the two null cases apart: 0 for an unknown
// keyword, 1 for a failed allocation.
ManifestAction* create_action(const char* keyword, int* known);

// Cuts `text` into lines and appends one parsed action per line to `chain`.
// Stops at the first bad line: ERR_SYNTAX, ERR_NO_MEMORY or the code of the
// action's ParseLine; the failing action is not appended.
int parse_manifest(char* text, ActionChain* chain);
