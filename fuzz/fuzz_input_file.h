// Fuzz input as a file: the readers under test open paths, so each input is
// written to a memory file reachable by a /proc path, without touching disk.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

struct FuzzInputFile {
  int fd = -1;
  std::string path;

  FuzzInputFile(const uint8_t* data, size_t size) {
    fd = memfd_create("fuzz-input", 0);
    if (fd < 0) return;
    size_t done = 0;
    while (done < size) {
      ssize_t n = write(fd, data + done, size - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    path = "/proc/self/fd/" + std::to_string(fd);
  }
  ~FuzzInputFile() {
    if (fd >= 0) close(fd);
  }
};
