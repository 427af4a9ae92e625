// Files of the trusted metadata directory.
#include "client/metadata_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/durable_file.h"
#include "base/fd.h"
#include "base/small_file.h"
#include "base/status.h"

namespace {

bool read_limited(const std::string& path, int flags, size_t limit, std::string* bytes) {
  return read_small_file(path.c_str(), limit, flags, bytes) == OK && bytes->size() <= limit;
}

}  // namespace

bool read_trusted_file(const std::string& dir, const std::string& name, size_t limit,
                       std::string* bytes) {
  return read_limited(dir + "/" + name, O_NOFOLLOW, limit, bytes);
}

bool read_limited_file(const std::string& path, size_t limit, std::string* bytes) {
  return read_limited(path, 0, limit, bytes);
}

ClientResult write_trusted_file(const std::string& dir, const std::string& name,
                                const std::string& bytes) {
  std::string path = dir + "/" + name;
  if (write_file_atomically(path.c_str(), bytes.data(), bytes.size(), 0644) != OK)
    return client_failure(UPDATE_CLIENT_ERR_LOCAL,
                          "cannot write " + path + ": " + strerror(errno));
  return {};
}

void remove_trusted_file(const std::string& dir, const std::string& name) {
  unlink((dir + "/" + name).c_str());
}

ClientResult make_metadata_dir(const std::string& dir) {
  for (size_t at = 0; at != std::string::npos;) {
    at = dir.find('/', at + 1);
    std::string part = dir.substr(0, at);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
      return client_failure(UPDATE_CLIENT_ERR_LOCAL, "cannot make " + part + ": " + strerror(errno));
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return client_failure(UPDATE_CLIENT_ERR_LOCAL, dir + ": not a directory");
  return {};
}
