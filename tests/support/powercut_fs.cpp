// A file system that can lose what was not flushed: FUSE over a backing
// directory, keeping for every regular file the content it had at its last
// flush. Names, renames, links, directories and modes are kept as soon as
// they are made; file content only once fsync (or a syncfs, which reaches the
// daemon as an fsync of the root's ".syncfs", see the fault library) made it
// durable, the way a power loss treats a file system in data=ordered mode.
//
//   powercut_fs BACKING MOUNTPOINT STATES
//
// After every operation that changes something, the state that a power cut
// at that moment would leave is written to STATES/<n>/ (n = 1, 2, ...): the
// backing tree with each file's content as last flushed.
#define FUSE_USE_VERSION 31
#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace {

std::string backing, states;
int state_count = 0;
// Content at the last flush of every file changed since, by inode.
std::map<ino_t, std::string> durable;
const char kSyncMark[] = "/.syncfs";

std::string real(const char* path) { return backing + path; }

std::string content_of(const std::string& path) {
  std::string data;
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW);
  char buffer[65536];
  for (ssize_t n; fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0;) data.append(buffer, n);
  if (fd >= 0) close(fd);
  return data;
}

bool write_whole(const std::string& path, const std::string& data, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  bool ok = fd >= 0 && write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  if (fd >= 0) close(fd);
  return ok && chmod(path.c_str(), mode) == 0;
}

// Remembers a file's flushed content before its first change since a flush.
void before_change(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && durable.count(st.st_ino) == 0)
    durable[st.st_ino] = content_of(path);
}

void copy_tree(const std::string& from, const std::string& to) {
  DIR* d = opendir(from.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name, a = from + "/" + name, b = to + "/" + name;
    struct stat st;
    if (name == "." || name == ".." || ("/" + name == kSyncMark && from == backing) || lstat(a.c_str(), &st) != 0)
      continue;
    if (S_ISDIR(st.st_mode)) {
      mkdir(b.c_str(), 0700);
      copy_tree(a, b);
      chmod(b.c_str(), st.st_mode & 07777);  // last: a read-only directory is filled first
    } else if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = readlink(a.c_str(), target, sizeof target);
      if (n >= 0 && symlink(std::string(target, n).c_str(), b.c_str()) != 0) perror(b.c_str());
    } else if (S_ISREG(st.st_mode)) {
      auto kept = durable.find(st.st_ino);
      if (!write_whole(b, kept != durable.end() ? kept->second : content_of(a), st.st_mode & 07777)) perror(b.c_str());
    }
  }
  closedir(d);
}

// The state a power cut would leave now.
int changed(int result) {
  std::string dir = states + "/" + std::to_string(++state_count);
  mkdir(dir.c_str(), 0700);
  copy_tree(backing, dir);
  return result;
}

int status(int rc) { return rc == 0 ? 0 : -errno; }

int fs_getattr(const char* path, struct stat* st, fuse_file_info*) { return status(lstat(real(path).c_str(), st)); }

int fs_readlink(const char* path, char* buffer, size_t size) {
  ssize_t n = readlink(real(path).c_str(), buffer, size - 1);
  if (n < 0) return -errno;
  buffer[n] = '\0';
  return 0;
}

int fs_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  DIR* d = opendir(real(path).c_str());
  if (d == nullptr) return -errno;
  while (dirent* e = readdir(d)) fill(buffer, e->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  closedir(d);
  return 0;
}

int fs_mkdir(const char* path, mode_t mode) { return changed(status(mkdir(real(path).c_str(), mode))); }
int fs_rmdir(const char* path) { return changed(status(rmdir(real(path).c_str()))); }
int fs_unlink(const char* path) { return changed(status(unlink(real(path).c_str()))); }
int fs_symlink(const char* target, const char* path) { return changed(status(symlink(target, real(path).c_str()))); }
int fs_link(const char* from, const char* to) { return changed(status(link(real(from).c_str(), real(to).c_str()))); }
int fs_chmod(const char* path, mode_t mode, fuse_file_info*) { return changed(status(chmod(real(path).c_str(), mode))); }

int fs_rename(const char* from, const char* to, unsigned flags) {
  return changed(status(renameat2(AT_FDCWD, real(from).c_str(), AT_FDCWD, real(to).c_str(), flags)));
}

int fs_truncate(const char* path, off_t size, fuse_file_info*) {
  before_change(real(path));
  return changed(status(truncate(real(path).c_str(), size)));
}

int fs_open(const char* path, fuse_file_info* fi) {
  if (fi->flags & O_TRUNC) before_change(real(path));
  int fd = open(real(path).c_str(), fi->flags & ~O_CREAT);
  if (fd < 0) return -errno;
  fi->fh = fd;
  return fi->flags & O_TRUNC ? changed(0) : 0;
}

int fs_create(const char* path, mode_t mode, fuse_file_info* fi) {
  int fd = open(real(path).c_str(), fi->flags, mode);
  if (fd < 0) return -errno;
  fi->fh = fd;
  struct stat st;
  if (fstat(fd, &st) == 0) durable[st.st_ino] = "";  // a new name with nothing flushed in it
  return changed(0);
}

int fs_read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  ssize_t n = pread(fi->fh, buffer, size, offset);
  return n < 0 ? -errno : static_cast<int>(n);
}

int fs_write(const char* path, const char* data, size_t size, off_t offset, fuse_file_info* fi) {
  before_change(real(path));
  ssize_t n = pwrite(fi->fh, data, size, offset);
  return changed(n < 0 ? -errno : static_cast<int>(n));
}

int fs_fsync(const char* path, int, fuse_file_info* fi) {
  if (strcmp(path, kSyncMark) == 0) {
    durable.clear();
  } else {
    struct stat st;
    if (fstat(fi->fh, &st) == 0) durable.erase(st.st_ino);
  }
  return changed(0);
}

int fs_release(const char*, fuse_file_info* fi) { return status(close(fi->fh)); }

int fs_utimens(const char* path, const timespec times[2], fuse_file_info*) {
  return status(utimensat(AT_FDCWD, real(path).c_str(), times, AT_SYMLINK_NOFOLLOW));
}

int fs_statfs(const char* path, struct statvfs* st) { return status(statvfs(real(path).c_str(), st)); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: powercut_fs BACKING MOUNTPOINT STATES\n");
    return 2;
  }
  backing = argv[1];
  states = argv[3];
  fuse_operations ops = {};
  ops.getattr = fs_getattr;
  ops.readlink = fs_readlink;
  ops.readdir = fs_readdir;
  ops.mkdir = fs_mkdir;
  ops.rmdir = fs_rmdir;
  ops.unlink = fs_unlink;
  ops.symlink = fs_symlink;
  ops.link = fs_link;
  ops.rename = fs_rename;
  ops.chmod = fs_chmod;
  ops.truncate = fs_truncate;
  ops.open = fs_open;
  ops.create = fs_create;
  ops.read = fs_read;
  ops.write = fs_write;
  ops.fsync = fs_fsync;
  ops.release = fs_release;
  ops.utimens = fs_utimens;
  ops.statfs = fs_statfs;
  // Foreground, one request at a time, so that the states follow one order.
  char* args[] = {argv[0], argv[2], const_cast<char*>("-f"), const_cast<char*>("-s"),
                  const_cast<char*>("-o"), const_cast<char*>("default_permissions")};
  return fuse_main(6, args, &ops, nullptr);
}
