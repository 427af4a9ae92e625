// The package reader: loads a package's index into a 256-bucket hash table
// and decompresses entries, one at a time, into new files.
#pragma once

#include <cstdint>
#include <cstdio>

#include "archive/package_format.h"

struct ArchiveEntry {
  ArchiveEntry* next;    // following entry of the same bucket
  int32_t offset;        // position of the entry's first data byte
  int32_t size;          // bytes of entry data
  uint32_t permissions;  // mode given to a file extracted from this entry
  char name[];           // NUL-terminated, stored inline; the block is sized for it
};

struct UpdateArchive {
  FILE* file;                          // owned; opened "rb"
  ArchiveEntry* buckets[kBucketCount];  // owned chains, in index order
};

// Opens the package at `path` and loads its index; null on any failure, with
// nothing left open or allocated.
UpdateArchive* archive_open(const char* path);
// As archive_open, on a package that the caller has already opened (for
// instance to check its signature first); the index is read from the start of
// the file. Takes `file` in every case: on failure it is closed.
UpdateArchive* archive_open_file(FILE* file);
// Closes the file and frees every entry and the archive itself.
void archive_close(UpdateArchive* archive);
// The first entry, in index order, whose name equals `name`; valid until
// archive_close. Null when there is none.
ArchiveEntry* archive_find(UpdateArchive* archive, const char* name);
// Calls `visitor` for every entry, bucket 0 to 255, each chain head to tail;
// returns the first non-zero result, else 0.
int archive_for_each(UpdateArchive* archive,
                     int (*visitor)(UpdateArchive*, ArchiveEntry*, void*), void* context);
// Copies up to `length` bytes of the entry's data from `position` into
// `buffer`: the count read, 0 at the end of the entry, -1 past it or when the
// seek fails.
int32_t archive_read(UpdateArchive* archive, ArchiveEntry* entry, int32_t position,
                     void* buffer, int32_t length);

// The process's one open package.
class PackageReader {
 public:
  UpdateArchive* archive = nullptr;
  // True only while the open package is one whose signature was checked.
  bool verified = false;

  ~PackageReader() { Close(); }
  // Closes any open package, then opens `path`. OK or ERR_READ.
  int Open(const char* path);
  // Closes any open package, then takes the open `file` as the package
  // (closed at once when its index is bad). OK or ERR_READ.
  int OpenFile(FILE* file);
  void Close();
  // Decompresses the entry `name` into `dest_path`, created with the entry's
  // permissions (an existing file is truncated and keeps its mode). OK only
  // when the whole stream was decoded and written. A failed extraction leaves
  // the destination as far as it got.
  int ExtractEntry(const char* name, const char* dest_path);
  // Decodes the entry into the open descriptor `fd`, which stays open and the
  // caller's, at its current position. OK only when the whole stream was
  // decoded and written; on ERR_WRITE errno is the failed write's.
  int ExtractEntryToFd(ArchiveEntry* entry, int fd);
  // Decodes the entry into `out`, which stays open and the caller's.
  int DecompressEntry(ArchiveEntry* entry, FILE* out);
};

extern PackageReader package_reader;
