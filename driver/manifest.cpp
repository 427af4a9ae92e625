// Manifest reading: the whole text in one buffer, then one action per line.
#include "driver/manifest.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "actions/file_actions.h"
#include "actions/tree_actions.h"
#include "base/fd.h"
#include "base/log.h"
#include "base/next_token.h"
#include "base/status.h"
#include "actions/patch_action.h"

namespace {

struct Keyword {
  const char* name;
  ManifestAction* (*create)();
};

// The manifest keywords, compared as whole strings in this order.
const Keyword kKeywords[] = {
    {"remove", create_remove_action},
    {"add", create_add_action},
    {"patch", create_patch_action},
    {"add-if", create_add_if_action},
    {"patch-if", create_patch_if_action},
    {"link", create_link_action},
    {"mkdir", create_mkdir_action},
    {"rmdir", create_rmdir_action},
};

}  // namespace

int read_manifest(int fd, char** text) {
  *text = nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0) return ERR_READ;
  size_t size = static_cast<size_t>(st.st_size);
  char* buffer = static_cast<char*>(malloc(size + 1));
  if (buffer == nullptr) return ERR_NO_MEMORY;
  *text = buffer;
  int rc = read_exact(fd, buffer, size);
  if (rc != OK) return rc;
  buffer[size] = '\0';
  // The lines are C strings: a NUL would silently end the manifest early.
  if (memchr(buffer, '\0', size) != nullptr) {
    log_printf("manifest contains a NUL byte\n");
    return ERR_SYNTAX;
  }
  return OK;
}

ManifestAction* create_action(const char* keyword, int* known) {
  for (const Keyword& k : kKeywords) {
    if (strcmp(k.name, keyword) != 0) continue;
    if (k.create == nullptr) break;  // keyword without an action in this build
    *known = 1;
    return k.create();
  }
  *known = 0;
  return nullptr;
}

int parse_manifest(char* text, ActionChain* chain) {
  char* cursor = text;
  while (char* line = next_token("\r\n", &cursor)) {
    if (line[0] == '#') continue;
    // The tokenizers write NULs into the line; keep a copy for the log.
    char shown[1024];
    snprintf(shown, sizeof shown, "%s", line);
    char* args = line;
    char* keyword = next_token(" \t", &args);
    if (keyword == nullptr) {
      log_printf("manifest line without keyword: %s\n", shown);
      return ERR_SYNTAX;
    }
    int known = 0;
    ManifestAction* action = create_action(keyword, &known);
    if (action == nullptr) {
      if (known) return ERR_NO_MEMORY;
      log_printf("unknown manifest keyword: %s\n", shown);
      return ERR_SYNTAX;
    }
    int rc = action->ParseLine(args);
    if (rc != OK) {
      log_printf("bad manifest line: %s\n", shown);
      delete action;
      return rc;
    }
    action_chain_append(chain, action);
  }
  return OK;
}
