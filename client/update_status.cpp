// Reading update.status for `status` and for fetch's choice of package.
#include "client/update_status.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "client/update_client.h"

bool read_update_status(const std::string& update_dir, std::string* line) {
  // Not through a link, and never stalled by a pipe put in its place.
  int fd =
      open((update_dir + "/update.status").c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[256];
  ssize_t n = read(fd, buffer, sizeof buffer);
  close(fd);
  if (n < 0) return false;
  line->assign(buffer, static_cast<size_t>(n));
  size_t end = line->find_first_of("\r\n");
  if (end != std::string::npos) line->erase(end);
  return true;
}

int update_client_status(const char* update_dir, char* status, size_t status_size) {
  std::string line;
  if (update_dir == nullptr) return UPDATE_CLIENT_ERR_USAGE;
  bool found = read_update_status(update_dir, &line);
  if (status != nullptr && status_size > 0)
    snprintf(status, status_size, "%s", found ? line.c_str() : "no update has run");
  return found ? UPDATE_CLIENT_OK : UPDATE_CLIENT_ERR_LOCAL;
}
