// Refusing paths that would reach outside the installation or whose backup
// name would be cut short.
#include "actions/path_check.h"

#include <cstring>

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
