// Descriptor helpers that every layer shares: one owner, one write loop, one
// exact read and one copy loop, all with the same EINTR policy: a read or
// write interrupted by a signal before moving any byte is retried; close is
// never retried, since Linux releases the descriptor even when close fails.
#pragma once

#include <cstddef>
#include <cstdint>

// Owns one descriptor and closes it when the scope ends, whatever the path.
// Where a failed close must count (a file just written), call close_checked.
struct UniqueFd {
  int fd = -1;

  UniqueFd() = default;
  explicit UniqueFd(int f) : fd(f) {}
  ~UniqueFd();
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  bool ok() const { return fd >= 0; }
  // Closes the held descriptor (if any) and owns `f` instead.
  void reset(int f = -1);
  // Gives up ownership; the caller closes the result.
  int release();
  // Closes now and reports it: 0, or -1 with errno (a delayed write error
  // shows only here). The owner holds nothing afterwards.
  int close_checked();
};

// Writes all `size` bytes, continuing after partial writes. OK, or ERR_WRITE
// when a write fails (errno says why) or moves nothing (errno is then 0).
int write_all(int fd, const void* data, size_t size);

// Reads exactly `size` bytes, asking for at most `most` bytes a request.
// OK; ERR_READ on a read error (errno says why); ERR_BAD_DATA when the input
// ends first.
int read_exact(int fd, void* data, size_t size, size_t most = SIZE_MAX);

// Copies `in` from its offset to its end onto `out`, in reads and writes of
// at most 8192 bytes. OK; ERR_READ or ERR_WRITE (errno says why) at the first
// failure, with `out` partly written.
int copy_fd(int in, int out);

// Hands every byte of `fd`, read from offset 0 with pread (so the descriptor's
// position is left alone), to `consume` in pieces, in order. OK, or ERR_READ
// with *detail = errno.
int read_whole_at(int fd, void (*consume)(void* context, const unsigned char* data, size_t size),
                  void* context, int* detail);
