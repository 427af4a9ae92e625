// Resolving manifest paths beneath the installation.
#include "actions/beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include "actions/backup.h"
#include "base/fd.h"
#include "base/log.h"
#include "base/status.h"

namespace {

// Paths that the manifest's lines prepared so far will change.
std::set<std::string> planned;

// Where openat2 is missing: the same resolution, one name at a time, from
// the installation down. Every name resolved so far is a directory that is
// no link, so the final open meets no link but at its own last name.
int walk_beneath(const char* path, int flags) {
  std::vector<std::string> todo, done;  // todo: names still to resolve, last first
  auto push = [&todo](const std::string& p) {
    std::vector<std::string> names;
    for (size_t at = 0; at <= p.size();) {
      size_t end = p.find('/', at);
      if (end == std::string::npos) end = p.size();
      names.push_back(p.substr(at, end - at));
      at = end + 1;
    }
    todo.insert(todo.end(), names.rbegin(), names.rend());
  };
  push(path);
  for (int hops = 0; !todo.empty();) {
    std::string name = todo.back();
    todo.pop_back();
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (done.empty()) return errno = EXDEV, -1;
      done.pop_back();
      continue;
    }
    std::string here;
    for (const std::string& d : done) here += d + "/";
    here += name;
    struct stat st;
    if (lstat(here.c_str(), &st) != 0) return -1;
    bool last = todo.empty();
    if (S_ISLNK(st.st_mode) && !(last && (flags & O_NOFOLLOW))) {
      char target[4096];
      ssize_t n = readlink(here.c_str(), target, sizeof target - 1);
      if (n < 0) return -1;
      if (++hops > 40) return errno = ELOOP, -1;
      if (n > 0 && target[0] == '/') return errno = EXDEV, -1;
      push(std::string(target, static_cast<size_t>(n)));
      continue;
    }
    done.push_back(name);
  }
  std::string resolved = ".";
  for (const std::string& d : done) resolved += "/" + d;
  return open(resolved.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
}

}  // namespace

int open_beneath(const char* path, int flags) {
  open_how how = {};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  long fd = syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
  if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
  return walk_beneath(path, flags);
}

int check_way_beneath(const char* path) {
  if (run_link_on_the_way(path)) {
    log_printf("refused, a symbolic link on the way: %s\n", path);
    return ERR_WRITE;
  }
  std::string p = path;
  size_t slash = p.rfind('/');
  if (slash == std::string::npos) return OK;
  UniqueFd dir(open_beneath(p.substr(0, slash).c_str(), O_PATH | O_DIRECTORY));
  // A directory still to be made is made as a directory, beneath the last
  // one that exists; anything else fails where it always did.
  if (dir.ok() || (errno != EXDEV && errno != ELOOP)) return OK;
  log_printf("refused, outside the installation: %s\n", path);
  return ERR_WRITE;
}

int check_way_in_prepare(const char* path) {
  std::string p = path;
  bool waits = false;
  for (size_t at = p.find('/'); at != std::string::npos && !waits; at = p.find('/', at + 1))
    waits = planned.count(p.substr(0, at)) != 0;
  planned.insert(p);
  return waits ? OK : check_way_beneath(path);
}
