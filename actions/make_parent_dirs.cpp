// Creating the directories on the way to a file.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "actions/file_utils.h"
#include "base/status.h"

int make_parent_dirs(char* path) {
  char* slash = strrchr(path, '/');
  if (slash == nullptr) return OK;
  *slash = '\0';
  // Outside in: the recursion reaches the outermost directory first. No stat
  // beforehand; EEXIST, whatever the existing name is, counts as success.
  int rc = make_parent_dirs(path);
  if (rc == OK && mkdir(path, 0755) != 0 && errno != EEXIST) rc = ERR_WRITE;
  *slash = '/';
  return rc;
}
