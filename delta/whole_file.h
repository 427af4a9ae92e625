// Whole files in memory, as the tools read their inputs, and files written
// a piece at a time, as zqdiff writes its patch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/fd.h"
#include "patch/patch_format.h"

// A regular file mapped read-only: its pages are read in when first touched,
// and pages let go (release_mapped_file) are read in again if touched
// again, so only the parts in use take memory. A file cut short while mapped
// raises SIGBUS where its lost pages are touched.
struct MappedFile {
  unsigned char* data = nullptr;  // null for an empty file
  size_t size = 0;
  UniqueFd fd;
  bool copied = false;  // `data` is a malloc'ed copy (copy_mapped_file)
};

// Maps the regular file `path` whole (or reads it into memory, `copied`,
// where its file system cannot map it). OK, ERR_READ (cannot be opened or
// read, or is not a regular file) or ERR_NO_MEMORY.
int map_whole_file(const char* path, MappedFile* file);
// Replaces the mapping with a copy of its bytes in memory, for a file that
// is about to be overwritten while still in use. OK or ERR_NO_MEMORY (the
// mapping stays).
int copy_mapped_file(MappedFile* file);
// Lets go of the pages lying wholly inside bytes [from, to) of the mapping
// (nothing for a copy).
void release_mapped_file(const MappedFile& file, size_t from, size_t to);
void unmap_whole_file(MappedFile* file);

// A copy of a mapped file as a version 2 patch's transform rewrites it, in
// pages of its own, so that it can be let go while the sort does not need it
// and be made again at the same address.
struct TransformedFile {
  unsigned char* data = nullptr;
  size_t size = 0;
  size_t mapped = 0;  // bytes of the anonymous mapping at `data`
  // While let go (`away`): each 4-byte word where it differs from its file
  // (offset << 32 | word), and the bytes from the file's last whole word on.
  bool away = false;
  std::vector<uint64_t> words;
  std::vector<unsigned char> tail;
};

// Makes *copy of `file` with `form`'s transform, letting go of the file's
// pages as it goes. OK or ERR_NO_MEMORY.
int make_transformed_file(const PatchHeader& form, const MappedFile& file, TransformedFile* copy);
// Notes where *copy differs from `file` and lets go of its pages (keeps them
// when there is no memory for the notes); restore_transformed_file makes it
// again from the file and the notes, at the same address, as fast as it
// reads the file. Both let go of the file's pages as they go.
void release_transformed_file(const MappedFile& file, TransformedFile* copy);
void restore_transformed_file(const MappedFile& file, TransformedFile* copy);
void free_transformed_file(TransformedFile* copy);

// Reads the regular file `path` into a new malloc'ed buffer (*data, freed by
// the caller with free(); null for an empty file). OK, ERR_READ (cannot be
// opened, read, or is not a regular file), ERR_NO_MEMORY, or ERR_BAD_DATA
// (the file changed size while being read).
int read_whole_file(const char* path, unsigned char** data, size_t* size);
// The same from the open file `fd`, from offset 0.
int read_whole_fd(int fd, unsigned char** data, size_t* size);

// A file written a piece at a time, created or truncated (mode 0644 less the
// umask) only at the first piece: a file the caller still reads before then
// (an input named as the output) is not cut short early.
struct PieceFile {
  const char* path = nullptr;
  UniqueFd fd;
  bool created = false;
};

// Writes `size` bytes at the end of the PieceFile `file` (a PatchEmit).
// OK or ERR_WRITE.
int piece_file_write(const unsigned char* bytes, size_t size, void* file);

// Closes the file after the last piece when `rc` is OK; removes what was
// written when `rc` or the close is not (a regular file only, and only the
// one written: never a device such as /dev/full). Returns `rc`, or ERR_WRITE
// when the close failed.
int piece_file_finish(PieceFile* file, int rc);
