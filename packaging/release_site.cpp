// Reading and writing the release site's own files.
#include "packaging/release_site.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "actions/path_check.h"
#include "archive/signature.h"
#include "base/fd.h"
#include "base/status.h"

namespace {

bool read_text(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *text = s.str();
  return !in.bad();
}

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

std::vector<std::string> subdirectories(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    struct stat st;
    if (name != "." && name != ".." && lstat((dir + "/" + name).c_str(), &st) == 0 &&
        S_ISDIR(st.st_mode))
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

int make_directories(const std::string& dir) {
  for (size_t at = dir.find('/', 1); at != std::string::npos; at = dir.find('/', at + 1))
    mkdir(dir.substr(0, at).c_str(), 0755);
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return ERR_WRITE;
  struct stat st;
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? OK : ERR_WRITE;
}

int load_site_feed(const std::string& path, Feed* feed, std::string* error) {
  *feed = Feed{};
  std::string text;
  if (!read_text(path, &text)) {
    if (errno == ENOENT) return OK;
    *error = path + ": cannot read it: " + strerror(errno);
    return ERR_READ;
  }
  if (parse_feed(text, feed, error) != OK) {
    *error = path + ": " + *error;
    return ERR_BAD_DATA;
  }
  return OK;
}

int load_published_paths(const std::string& site, ReleasePaths* paths, std::string* error) {
  for (const std::string& channel : subdirectories(site)) {
    for (const std::string& version : subdirectories(site + "/" + channel)) {
      std::string file = site + "/" + channel + "/" + version + "/paths";
      std::string text;
      if (!read_text(file, &text)) continue;  // not a release folder
      if (parse_paths(text, paths) != OK) {
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

int write_release_paths(const std::string& file, const ReleasePaths& paths) {
  std::string text;
  for (const auto& [path, kinds] : paths) text += kinds.substr(0, 1) + " " + path + "\n";
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return ERR_WRITE;
  bool ok = write_all(fd, text.data(), text.size()) == OK;
  ok = close(fd) == 0 && ok;
  return ok ? OK : ERR_WRITE;
}

int publish_feed(const std::string& path, const Feed& feed, const std::string& secret,
                 std::string* error) {
  std::string temp = path + ".new";
  std::string text = feed_json(feed);
  unlink(temp.c_str());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  bool ok = fd >= 0 && write_all(fd, text.data(), text.size()) == OK && fsync(fd) == 0;
  if (fd >= 0) ok = close(fd) == 0 && ok;
  if (!ok) {
    *error = temp + ": cannot write it: " + strerror(errno);
    unlink(temp.c_str());
    return ERR_WRITE;
  }
  int detail = 0;
  int rc = sign_package_file(temp.c_str(), secret.c_str(), &detail, nullptr);
  if (rc != OK) {
    *error = "cannot sign " + temp + " with " + secret + ": " +
             (rc == ERR_BAD_DATA ? "not a secret key file" : strerror(detail));
  } else if (rename((temp + ".sig").c_str(), (path + ".sig").c_str()) != 0 ||
             rename(temp.c_str(), path.c_str()) != 0) {
    *error = path + ": cannot move it into place: " + strerror(errno);
    rc = ERR_WRITE;
  }
  unlink((temp + ".sig").c_str());
  unlink(temp.c_str());
  return rc;
}

void remove_tree(const std::string& dir) {
  nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}
