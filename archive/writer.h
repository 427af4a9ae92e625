// The package writer, the inverse of the reader: entries compressed with
// libbzip2 into one bzip2 stream each, then the index, then the header's
// index position. Used by the tools and the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct PackageRecord {
  std::string name;
  uint32_t offset;
  uint32_t size;
  uint32_t permissions;
};

struct PackageWriter {
  FILE* file = nullptr;
  std::string path;
  int64_t position = 0;  // bytes written so far
  std::vector<PackageRecord> records;
  int block_size = 9;  // bzip2 block size, 1..9 (x 100 kB)
};

// Creates `path` (truncated) and writes the header. OK or ERR_WRITE; on
// failure nothing is left open.
int package_writer_open(PackageWriter* writer, const char* path);
// Adds an entry from `size` bytes at `data`. The stream's bzip2 blocks end
// at each of the `cut_count` offsets in `cuts` (increasing, at most `size`),
// so that unlike parts get tables of their own; it stays one stream. OK,
// ERR_NO_MEMORY, ERR_WRITE, or ERR_BAD_DATA when the package would reach
// 2 GiB or the cuts are out of order.
int package_writer_add_buffer(PackageWriter* writer, const char* name, const void* data,
                              size_t size, uint32_t permissions, const size_t* cuts = nullptr,
                              size_t cut_count = 0);
// Adds an entry from the file at `src_path`, streamed. Adds ERR_READ to the
// codes above.
int package_writer_add_file(PackageWriter* writer, const char* name, const char* src_path,
                            uint32_t permissions);
// The same from the open file `fd`, read from its current offset to its end.
int package_writer_add_fd(PackageWriter* writer, const char* name, int fd, uint32_t permissions);
// Writes the index and the header's index position and closes the file.
int package_writer_finish(PackageWriter* writer);
// Closes and deletes a package that will not be finished.
void package_writer_abort(PackageWriter* writer);

// Size of `data` as one bzip2 stream (block size 9) with blocks ending at
// `cuts`, as a package stores it; -1 on failure.
int64_t bzip2_compressed_size(const void* data, size_t size, const size_t* cuts = nullptr,
                              size_t cut_count = 0);
