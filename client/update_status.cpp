// Reading update.status for `status` and for fetch's choice of package.
#include "client/update_status.h"

#include <fcntl.h>
#include <unistd.h>

#include "base/small_file.h"
#include "base/status.h"
#include "client/client_handle.h"

bool read_update_status(const std::string& update_dir, std::string* line) {
  // Not through a link, and never stalled by a pipe put in its place.
  if (read_small_file((update_dir + "/update.status").c_str(), 255, O_NOFOLLOW, line) != OK) return false;
  size_t end = line->find_first_of("\r\n");
  if (end != std::string::npos) line->erase(end);
  return true;
}

int update_client_status(update_client* c) {
  if (c == nullptr) return UPDATE_CLIENT_ERR_USAGE;
  if (c->update_dir.empty()) return report(c, client_failure(UPDATE_CLIENT_ERR_USAGE, "no update directory"), "");
  std::string line;
  if (!read_update_status(c->update_dir, &line))
    return report(c, client_failure(UPDATE_CLIENT_ERR_LOCAL, "no update has run"), "");
  return report(c, {}, line);
}
