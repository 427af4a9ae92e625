// Recursive walk of an installation tree with lstat.
#include "packaging/tree_scan.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "actions/backup.h"
#include "base/status.h"

namespace {

// The absolute, link-free form of `path`, which need not exist yet: its
// longest existing prefix resolved, the rest appended.
std::string resolved(const std::string& path) {
  std::string rest, head = path;
  for (;;) {
    if (char* real = realpath(head.empty() ? "." : head.c_str(), nullptr)) {
      std::string out = real;
      free(real);
      return rest.empty() ? out : out + "/" + rest;
    }
    size_t slash = head.find_last_of('/');
    if (slash == std::string::npos) {
      rest = rest.empty() ? head : head + "/" + rest;
      head.clear();
    } else {
      rest = rest.empty() ? head.substr(slash + 1) : head.substr(slash + 1) + "/" + rest;
      head = slash == 0 ? "/" : head.substr(0, slash);
    }
  }
}

// A manifest argument ends at a double quote and a manifest line at CR or
// LF, so such a name cannot be written at all.
bool writable_in_manifest(const std::string& name) {
  return name.find_first_of("\"\r\n") == std::string::npos;
}

// Every problem of the tree is reported in one pass: the walk goes on.
int walk(const std::string& root, const std::string& rel, TreeScan* scan) {
  std::string dir_path = rel.empty() ? root : root + "/" + rel;
  DIR* dir = opendir(dir_path.c_str());
  if (dir == nullptr) {
    scan->problems.push_back(dir_path + ": cannot read the directory: " + strerror(errno));
    return ERR_READ;
  }
  int rc = OK;
  std::vector<std::string> names;
  while (dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());

  for (const std::string& name : names) {
    std::string child = rel.empty() ? name : rel + "/" + name;
    std::string full = root + "/" + child;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) {
      scan->problems.push_back(full + ": cannot examine it: " + strerror(errno));
      rc = ERR_READ;
      continue;
    }
    if (is_backup_name(name.c_str())) {
      scan->problems.push_back(full + ": the updater keeps its backups under such names");
      continue;
    }
    if (!writable_in_manifest(name)) {
      scan->problems.push_back(full +
                               ": a name with a double quote or a line break cannot be "
                               "written in a manifest");
      continue;
    }
    if (S_ISLNK(st.st_mode)) {
      std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
      ssize_t n = readlink(full.c_str(), &target[0], target.size());
      if (n < 0 || static_cast<size_t>(n) >= target.size()) {
        scan->problems.push_back(full + ": cannot read the link");
        rc = ERR_READ;
      } else if (target.resize(static_cast<size_t>(n)), !writable_in_manifest(target)) {
        scan->problems.push_back(full + ": a link target with a double quote or a line "
                                 "break cannot be written in a manifest");
      } else {
        scan->links[child] = target;
      }
    } else if (S_ISDIR(st.st_mode)) {
      scan->dirs[child] = st.st_mode & 07777;
      if (walk(root, child, scan) != OK) rc = ERR_READ;
    } else if (S_ISREG(st.st_mode)) {
      scan->files[child] = {static_cast<mode_t>(st.st_mode & 07777),
                            {st.st_dev, st.st_ino, static_cast<uint64_t>(st.st_size)}};
    } else {
      scan->problems.push_back(full + ": special file; packages carry files, directories and "
                               "links only");
    }
  }
  return rc;
}

}  // namespace

int scan_tree(const std::string& root, TreeScan* scan) {
  *scan = TreeScan{};
  struct stat st;
  if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    scan->problems.push_back(root + ": not a directory");
    return ERR_READ;
  }
  return walk(root, "", scan);
}

bool lies_inside(const std::string& path, const std::string& tree) {
  std::string out = resolved(path), root = resolved(tree);
  return out == root || (out.compare(0, root.size(), root) == 0 &&
                         (root == "/" || out[root.size()] == '/'));
}
