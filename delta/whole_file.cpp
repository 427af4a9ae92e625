// Reading whole files and writing them in pieces with plain POSIX calls.
#include "delta/whole_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/fd.h"
#include "base/status.h"

int read_whole_file(const char* path, unsigned char** data, size_t* size) {
  *data = nullptr;
  *size = 0;
  // Not blocking on a pipe; reads of a regular file ignore the flag.
  UniqueFd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.ok()) return ERR_READ;
  return read_whole_fd(fd.fd, data, size);
}

int read_whole_fd(int fd, unsigned char** data, size_t* size) {
  *data = nullptr;
  *size = 0;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || lseek(fd, 0, SEEK_SET) != 0) return ERR_READ;
  size_t want = static_cast<size_t>(st.st_size);
  unsigned char* buffer = want > 0 ? static_cast<unsigned char*>(malloc(want)) : nullptr;
  if (want > 0 && buffer == nullptr) return ERR_NO_MEMORY;
  int rc = read_exact(fd, buffer, want);
  // A file that grew while it was read would give a patch for a file that
  // never existed; one more byte means it did.
  char probe;
  if (rc == OK && read(fd, &probe, 1) != 0) rc = ERR_BAD_DATA;
  if (rc != OK) {
    free(buffer);
    return rc;
  }
  *data = buffer;
  *size = want;
  return OK;
}

int map_whole_file(const char* path, MappedFile* file) {
  file->data = nullptr;
  file->size = 0;
  file->copied = false;
  file->fd.reset(open(path, O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (!file->fd.ok() || fstat(file->fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) return ERR_READ;
  if (st.st_size == 0) return OK;
  size_t size = static_cast<size_t>(st.st_size);
  void* data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file->fd.fd, 0);
  if (data == MAP_FAILED && errno == ENOMEM) return ERR_NO_MEMORY;
  if (data == MAP_FAILED) {  // a file system that cannot map: read into memory
    data = malloc(size);
    if (data == nullptr) return ERR_NO_MEMORY;
    if (read_exact(file->fd.fd, data, size) != OK) {
      free(data);
      return ERR_READ;
    }
    file->copied = true;
  }
  file->data = static_cast<unsigned char*>(data);
  file->size = size;
  return OK;
}

int copy_mapped_file(MappedFile* file) {
  if (file->copied || file->data == nullptr) return OK;
  unsigned char* copy = static_cast<unsigned char*>(malloc(file->size));
  if (copy == nullptr) return ERR_NO_MEMORY;
  memcpy(copy, file->data, file->size);
  munmap(file->data, file->size);
  file->data = copy;
  file->copied = true;
  return OK;
}

void release_mapped_file(const MappedFile& file, size_t from, size_t to) {
  if (file.copied) return;
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  from = (from + page - 1) / page * page;
  to = std::min(to, file.size) / page * page;
  if (file.data != nullptr && from < to) madvise(file.data + from, to - from, MADV_DONTNEED);
}

void unmap_whole_file(MappedFile* file) {
  if (file->copied)
    free(file->data);
  else if (file->data != nullptr)
    munmap(file->data, file->size);
  file->copied = false;
  file->data = nullptr;
  file->size = 0;
  file->fd.reset(-1);
}

namespace {

// Files are walked a piece at a time, so that a file and its copy are never
// both in memory whole.
constexpr size_t kPiece = size_t{1} << 20;

}  // namespace

int make_transformed_file(const PatchHeader& form, const MappedFile& file, TransformedFile* copy) {
  *copy = TransformedFile{};
  // The room beyond what the transform makes is never touched: it takes no
  // memory.
  size_t room = std::max<size_t>(transform_room(form, file.size), 1);
  void* pages = mmap(nullptr, room, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) return ERR_NO_MEMORY;
  copy->data = static_cast<unsigned char*>(pages);
  copy->mapped = room;
  for (size_t at = 0; at < file.size; at += kPiece) {
    size_t piece = std::min(kPiece, file.size - at);
    memcpy(copy->data + at, file.data + at, piece);
    release_mapped_file(file, at, at + piece);
  }
  copy->size = file.size;
  return transform_forward(form, copy->data, &copy->size);
}

void release_transformed_file(const MappedFile& file, TransformedFile* copy) {
  // Only the transform's fields differ, a small part of the file.
  size_t whole = file.size / 4 * 4;
  try {
    for (size_t at = 0; at < whole; at += kPiece) {
      size_t end = std::min(at + kPiece, whole);
      for (size_t w = at; w < end; w += 4) {
        uint32_t mine, theirs;
        memcpy(&mine, copy->data + w, 4);
        memcpy(&theirs, file.data + w, 4);
        if (mine != theirs) copy->words.push_back(uint64_t{w} << 32 | mine);
      }
      release_mapped_file(file, at, end);
    }
    copy->tail.assign(copy->data + whole, copy->data + copy->size);
  } catch (const std::bad_alloc&) {
    std::vector<uint64_t>().swap(copy->words);
    return;
  }
  madvise(copy->data, copy->mapped, MADV_DONTNEED);
  copy->away = true;
}

void restore_transformed_file(const MappedFile& file, TransformedFile* copy) {
  if (!copy->away) return;
  size_t whole = file.size / 4 * 4;
  for (size_t at = 0; at < whole; at += kPiece) {
    size_t piece = std::min(kPiece, whole - at);
    memcpy(copy->data + at, file.data + at, piece);
    release_mapped_file(file, at, at + piece);
  }
  for (uint64_t w : copy->words) {
    uint32_t word = static_cast<uint32_t>(w);
    memcpy(copy->data + (w >> 32), &word, 4);
  }
  std::copy(copy->tail.begin(), copy->tail.end(), copy->data + whole);
  std::vector<uint64_t>().swap(copy->words);
  std::vector<unsigned char>().swap(copy->tail);
  copy->away = false;
}

void free_transformed_file(TransformedFile* copy) {
  if (copy->data != nullptr) munmap(copy->data, copy->mapped);
  *copy = TransformedFile{};
}

int piece_file_write(const unsigned char* bytes, size_t size, void* context) {
  PieceFile* file = static_cast<PieceFile*>(context);
  if (!file->created) {
    file->fd.reset(open(file->path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!file->fd.ok()) return ERR_WRITE;
    file->created = true;
  }
  return write_all(file->fd.fd, bytes, size);
}

int piece_file_finish(PieceFile* file, int rc) {
  struct stat written;
  bool regular = file->fd.ok() && fstat(file->fd.fd, &written) == 0 && S_ISREG(written.st_mode);
  if (rc == OK && (!file->fd.ok() || file->fd.close_checked() != 0)) rc = ERR_WRITE;
  // Nothing half-written is left; but only the regular file the run wrote
  // goes, not a device (/dev/full) or whatever stands at the name by now.
  struct stat now;
  if (rc != OK && regular && lstat(file->path, &now) == 0 && now.st_dev == written.st_dev &&
      now.st_ino == written.st_ino)
    unlink(file->path);
  return rc;
}
