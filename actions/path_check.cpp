// Refusing paths that would reach outside the installation or whose backup
// name would be cut short, and looking at what stands on the way.
#include "actions/path_check.h"

#include <sys/stat.h>

#include <cstring>
#include <string>

#include "actions/backup.h"
#include "base/log.h"
#include "base/status.h"

namespace {

bool has_dotdot_component(const char* path) {
  for (const char* p = path; *p != '\0';) {
    size_t n = strcspn(p, "/");
    if (n == 2 && p[0] == '.' && p[1] == '.') return true;
    p += n;
    if (*p == '/') p++;
  }
  return false;
}

}  // namespace

int check_installed_path(const char* path) {
  if (path[0] == '/' || has_dotdot_component(path)) {
    log_printf("unsafe path refused: %s\n", path);
    return ERR_SYNTAX;
  }
  if (strlen(path) > kMaxInstalledPath) {
    log_printf("path too long for its backup name, refused: %s\n", path);
    return ERR_SYNTAX;
  }
  return OK;
}

bool is_symlink(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

bool path_exists(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0;
}

bool link_on_the_way(const char* path) {
  std::string p = path;
  for (size_t at = p.find('/'); at != std::string::npos; at = p.find('/', at + 1)) {
    struct stat st;
    if (lstat(p.substr(0, at).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return true;
  }
  return false;
}

int check_no_link_on_the_way(const char* path) {
  if (!link_on_the_way(path)) return OK;
  log_printf("refused, a symbolic link on the way: %s\n", path);
  return ERR_WRITE;
}
