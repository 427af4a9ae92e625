// Reading and writing the release site's own files.
#include "packaging/release_site.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "actions/path_check.h"
#include "base/durable_file.h"
#include "base/status.h"

namespace {

int parse_paths(const std::string& text, ReleasePaths* paths) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() < 3 || line[1] != ' ' || std::string("fdl").find(line[0]) == std::string::npos)
      return ERR_BAD_DATA;
    std::string path = line.substr(2);
    if (check_installed_path(path.c_str()) != OK) return ERR_BAD_DATA;
    std::string& kinds = (*paths)[path];
    if (kinds.find(line[0]) == std::string::npos) kinds += line[0];
  }
  return OK;
}

std::vector<std::string> entries(const std::string& dir, bool directories) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    struct stat st;
    if (name != "." && name != ".." && lstat((dir + "/" + name).c_str(), &st) == 0 &&
        S_ISDIR(st.st_mode) == directories)
      names.push_back(name);
  }
  closedir(d);
  return names;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

}  // namespace

bool read_text(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *text = s.str();
  return !in.bad();
}

int lock_site(const std::string& site, UniqueFd* lock, std::string* error) {
  if (make_directories(site) != OK) {
    *error = site + ": cannot create it: " + strerror(errno);
    return ERR_WRITE;
  }
  // Two runs at once would each sign a next version of the same metadata and
  // one release would vanish; the second waits for the first instead.
  std::string path = site + "/.lock";
  lock->reset(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
  int rc;
  while (lock->ok() && (rc = flock(lock->fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (!lock->ok() || rc != 0) {
    *error = path + ": cannot lock it: " + strerror(errno);
    return ERR_WRITE;
  }
  return OK;
}

int load_published_paths(const std::string& site, ReleasePaths* paths, std::string* error) {
  std::string releases = site + "/releases";
  for (const std::string& channel : entries(releases, true)) {
    for (const std::string& name : entries(releases + "/" + channel, false)) {
      std::string file = releases + "/" + channel + "/" + name, text;
      if (name.size() < 7 || name.compare(name.size() - 6, 6, ".paths") != 0) continue;
      if (!read_text(file, &text) || parse_paths(text, paths) != OK) {
        *error = file + ": malformed list of paths";
        return ERR_BAD_DATA;
      }
    }
  }
  return OK;
}

ReleasePaths tree_paths(const TreeScan& tree) {
  ReleasePaths paths;
  for (const auto& dir : tree.dirs) paths[dir.first] = "d";
  for (const auto& file : tree.files) paths[file.first] = "f";
  for (const auto& link : tree.links) paths[link.first] = "l";
  return paths;
}

int write_release_paths(const std::string& site, const std::string& channel,
                        const std::string& release, const ReleasePaths& paths) {
  std::string dir = site + "/releases/" + channel;
  std::string text;
  for (const auto& [path, kinds] : paths) text += kinds.substr(0, 1) + " " + path + "\n";
  if (make_directories(dir) != OK) return ERR_WRITE;
  return write_file_atomically((dir + "/" + release + ".paths").c_str(), text.data(), text.size(),
                               0644);
}

void remove_tree(const std::string& dir) {
  nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}
