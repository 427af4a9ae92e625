// zav: build, list and unpack update packages by hand.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "archive/reader.h"
#include "archive/writer.h"
#include "driver/status.h"

namespace {

const char kUsage[] =
    "usage: zav create PACKAGE [-C DIR] FILE...\n"
    "       zav list PACKAGE\n"
    "       zav extract PACKAGE NAME DEST\n";

int usage() {
  fputs(kUsage, stderr);
  return 2;
}

int fail(const char* what, const char* name) {
  fprintf(stderr, "zav: %s: %s\n", what, name);
  return 1;
}

const char* status_text(int status) {
  switch (status) {
    case ERR_NO_MEMORY: return "out of memory";
    case ERR_READ: return "cannot read";
    case ERR_WRITE: return "cannot write";
    case ERR_BAD_DATA: return "bad data";
    default: return "failed";
  }
}

int cmd_create(int argc, char** argv) {
  if (argc < 1) return usage();
  const char* package = argv[0];
  std::string dir;
  int i = 1;
  if (i < argc && strcmp(argv[i], "-C") == 0) {
    if (i + 1 >= argc) return usage();
    dir = argv[i + 1];
    i += 2;
  }
  if (i >= argc) return usage();

  PackageWriter writer;
  if (package_writer_open(&writer, package) != OK) return fail("cannot create package", package);
  for (; i < argc; i++) {
    const char* name = argv[i];
    std::string source = dir.empty() ? name : dir + "/" + name;
    struct stat st;
    if (stat(source.c_str(), &st) != 0) {
      package_writer_abort(&writer);
      return fail("cannot stat", source.c_str());
    }
    if (!S_ISREG(st.st_mode)) {
      package_writer_abort(&writer);
      return fail("not a regular file", source.c_str());
    }
    int rc = package_writer_add_file(&writer, name, source.c_str(), st.st_mode & 07777);
    if (rc != OK) {
      package_writer_abort(&writer);
      fprintf(stderr, "zav: %s: %s\n", source.c_str(), status_text(rc));
      return 1;
    }
  }
  int rc = package_writer_finish(&writer);
  if (rc != OK) return fail(status_text(rc), package);
  return 0;
}

ssize_t count_written(void* cookie, const char*, size_t size) {
  *static_cast<long long*>(cookie) += static_cast<long long>(size);
  return static_cast<ssize_t>(size);
}

int list_entry(UpdateArchive*, ArchiveEntry* entry, void*) {
  long long decoded = 0;
  cookie_io_functions_t io = {nullptr, count_written, nullptr, nullptr};
  FILE* counter = fopencookie(&decoded, "wb", io);
  if (counter == nullptr) return ERR_NO_MEMORY;
  int rc = package_reader.DecompressEntry(entry, counter);
  fclose(counter);
  if (rc != OK) {
    fprintf(stderr, "zav: entry %s: %s\n", entry->name, status_text(rc));
    return rc;
  }
  printf("%-40s %12lld %04o %12d\n", entry->name, decoded, entry->permissions & 07777,
         entry->size);
  return 0;
}

int cmd_list(int argc, char** argv) {
  if (argc != 1) return usage();
  if (package_reader.Open(argv[0]) != OK) return fail("not a readable package", argv[0]);
  printf("%-40s %12s %4s %12s\n", "name", "size", "mode", "compressed");
  int rc = archive_for_each(package_reader.archive, list_entry, nullptr);
  package_reader.Close();
  return rc == 0 ? 0 : 1;
}

int cmd_extract(int argc, char** argv) {
  if (argc != 3) return usage();
  if (package_reader.Open(argv[0]) != OK) return fail("not a readable package", argv[0]);
  if (archive_find(package_reader.archive, argv[1]) == nullptr) {
    package_reader.Close();
    return fail("no such entry", argv[1]);
  }
  int rc = package_reader.ExtractEntry(argv[1], argv[2]);
  package_reader.Close();
  if (rc != OK) {
    fprintf(stderr, "zav: extracting %s to %s: %s\n", argv[1], argv[2], status_text(rc));
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const char* command = argv[1];
  if (strcmp(command, "create") == 0) return cmd_create(argc - 2, argv + 2);
  if (strcmp(command, "list") == 0) return cmd_list(argc - 2, argv + 2);
  if (strcmp(command, "extract") == 0) return cmd_extract(argc - 2, argv + 2);
  return usage();
}
