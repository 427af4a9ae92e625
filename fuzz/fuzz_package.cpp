// Fuzz target: the package reader on arbitrary bytes (index parsing, lookups
// and the extraction of every entry).
#include <cstdint>
#include <cstring>

#include "archive/reader.h"
#include "base/status.h"
#include "fuzz/fuzz_input_file.h"

namespace {

int extract_entry(UpdateArchive* archive, ArchiveEntry* entry, void*) {
  // Lookups must find this entry or an earlier one of the same name.
  ArchiveEntry* found = archive_find(archive, entry->name);
  if (found == nullptr || strcmp(found->name, entry->name) != 0) __builtin_trap();
  package_reader.ExtractEntry(entry->name, "/dev/null");
  char buffer[64];
  archive_read(archive, entry, entry->size / 2, buffer, sizeof buffer);
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInputFile input(data, size);
  if (input.fd < 0) return 0;
  if (package_reader.Open(input.path.c_str()) == OK) {
    archive_for_each(package_reader.archive, extract_entry, nullptr);
    package_reader.ExtractEntry("update.manifest", "/dev/null");
  }
  package_reader.Close();
  return 0;
}
