// Making an output directory and its parents.
#include "base/make_directories.h"

#include <sys/stat.h>

#include <cerrno>

#include "base/status.h"

int make_directories(const std::string& dir) {
  for (size_t at = dir.find('/', 1); at != std::string::npos; at = dir.find('/', at + 1))
    mkdir(dir.substr(0, at).c_str(), 0755);
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return ERR_WRITE;
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return ERR_WRITE;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return ERR_WRITE;
  }
  return OK;
}
