// Fuzz target: both x86-64 transforms are exact inverses on any input, as it
// is and as the code of a small ELF file; the indexed form's inverse refuses
// or undoes any bytes without reading outside them.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/status.h"
#include "tests/support/x86_elf.h"
#include "patch/x86_transform.h"

namespace {

unsigned char* copy_of(const std::string& s, size_t room) {
  unsigned char* copy = static_cast<unsigned char*>(malloc(room + 1));
  memcpy(copy, s.data(), s.size());
  return copy;
}

void check_round_trip(const std::string& file) {
  std::string plain = file;
  x86_elf_transform(reinterpret_cast<unsigned char*>(&plain[0]), plain.size());
  x86_elf_untransform(reinterpret_cast<unsigned char*>(&plain[0]), plain.size());
  if (plain != file) abort();

  unsigned char* indexed = copy_of(file, x86_elf_index_room(file.size()));
  size_t size = file.size();
  if (x86_elf_index(indexed, &size, x86_elf_index_room(file.size())) == OK) {
    if (x86_elf_unindex(indexed, &size) != OK || size != file.size() ||
        memcmp(indexed, file.data(), size) != 0)
      abort();
  }
  free(indexed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  check_round_trip(input);
  check_round_trip(elf_around(input));
  unsigned char* any = copy_of(input, size);
  x86_elf_unindex(any, &size);
  free(any);
  return 0;
}
