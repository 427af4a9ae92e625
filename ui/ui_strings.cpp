// Reader of the UI strings file.
#include "ui/ui_strings.h"

#include <cstdio>
#include <cstring>

#include "base/status.h"

namespace {

// Drops the line's last character (the line feed in a well-formed file) and
// keeps what follows the first '=' in place of the whole line.
int take_value(char* line) {
  size_t length = strlen(line);
  if (length > 0) line[length - 1] = '\0';
  char* equals = strchr(line, '=');
  if (equals == nullptr) return ERR_SYNTAX;
  memmove(line, equals + 1, strlen(equals + 1) + 1);
  return OK;
}

}  // namespace

int read_ui_strings(const char* path, ProgressStrings* out) {
  FILE* file = fopen(path, "r");
  if (file == nullptr) return ERR_READ;

  // A line is what one fgets of the buffer's size delivers, so a line of 199
  // bytes or more spills into the next one; lines 1 to 3 share window_title
  // and line 3 is what stays.
  int rc = OK;
  for (int line = 0; line < 3 && rc == OK; line++) {
    if (fgets(out->window_title, sizeof out->window_title, file) == nullptr) rc = ERR_READ;
  }
  if (rc == OK && fgets(out->info_text, sizeof out->info_text, file) == nullptr) rc = ERR_READ;
  if (rc == OK) rc = take_value(out->window_title);
  if (rc == OK) rc = take_value(out->info_text);
  fclose(file);
  return rc;
}
