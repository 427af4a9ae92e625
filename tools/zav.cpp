// zav: build, list and unpack update packages by hand.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "actions/path_check.h"
#include "archive/reader.h"
#include "archive/release_statement.h"
#include "archive/release_version.h"
#include "archive/signature.h"
#include "archive/writer.h"
#include "base/command_line.h"
#include "base/fd.h"
#include "base/printable.h"
#include "base/status.h"

namespace {

const char kUsage[] =
    "usage: zav create PACKAGE [-C DIR] FILE...\n"
    "       zav list PACKAGE\n"
    "       zav extract PACKAGE NAME DEST\n"
    "       zav keygen SECRET PUBLIC\n"
    "       zav sign PACKAGE SECRET [--release V [--replaces W]]\n"
    "       zav verify PACKAGE PUBLIC\n"
    "       zav -h|--help|-V|--version\n";
const char kHelp[] =
    "  create   entries named by the FILE paths as given (read below DIR with -C);\n"
    "           names the updater cannot use (absolute, with \"..\", too long) are refused\n"
    "  list     name, size, mode and compressed size of every entry\n"
    "  extract  one entry to the file DEST, with the entry's mode\n"
    "  keygen   a new key pair; the secret file gets mode 0600, never over a file\n"
    "  sign     writes PACKAGE.sig, naming release V when given (see the README);\n"
    "           verify checks it against the keys in PUBLIC\n"
    "Exit status: 0 done, 1 failed, 2 wrong call.\n";

int usage() { return usage_error(kUsage); }

bool show_progress = false;

// One line rewritten in place on a terminal; cleared at the end.
void progress(int done, int total, const char* name) {
  if (!show_progress) return;
  if (done < total) {
    fprintf(stderr, "\r\033[Kzav: %d/%d %s", done + 1, total, printable(name).c_str());
  } else {
    fprintf(stderr, "\r\033[K");
  }
  fflush(stderr);
}

int fail(const char* what, const char* name) {
  fprintf(stderr, "zav: %s: %s\n", what, name);
  return 1;
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

  // The updater extracts an entry to the path it names, so a name it would
  // refuse makes a package that can only fail.
  for (int k = i; k < argc; k++) {
    if (check_installed_path(argv[k]) != OK)
      return fail("entry name the updater refuses (absolute, \"..\" or too long)", argv[k]);
  }
  PackageWriter writer;
  if (package_writer_open(&writer, package) != OK) return fail("cannot create package", package);
  int first = i;
  show_progress = isatty(STDERR_FILENO);
  for (; i < argc; i++) {
    const char* name = argv[i];
    progress(i - first, argc - first, name);
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
  progress(argc - first, argc - first, "");
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
    fprintf(stderr, "zav: entry %s: %s\n", printable(entry->name).c_str(), status_text(rc));
    return rc;
  }
  printf("%-40s %12lld %04o %12d\n", printable(entry->name).c_str(), decoded, entry->permissions & 07777,
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

int cmd_keygen(int argc, char** argv) {
  if (argc != 2) return usage();
  int detail = 0;
  int rc = generate_key_pair(argv[0], argv[1], &detail);
  if (rc != OK) {
    fprintf(stderr, "zav: cannot make key pair %s, %s: %s\n", argv[0], argv[1],
            rc == ERR_WRITE ? strerror(detail) : status_text(rc));
    return 1;
  }
  return 0;
}

int cmd_sign(int argc, char** argv) {
  std::string release, replaces;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--release") == 0) {
      release = argv[i + 1];
    } else if (strcmp(argv[i], "--replaces") == 0) {
      replaces = argv[i + 1];
    } else {
      return usage();
    }
  }
  if (argc < 2 || argc % 2 != 0 || (release.empty() && !replaces.empty()) ||
      (!release.empty() && !valid_version(release)) || (!replaces.empty() && !valid_version(replaces)))
    return usage();
  int detail = 0;
  const char* failed = nullptr;
  int rc = sign_package_file(argv[0], argv[1], release, replaces, &detail, &failed);
  if (rc == OK) return 0;
  if (rc == ERR_BAD_DATA) return fail("not a secret key file", failed);
  if (rc == ERR_NO_MEMORY) return fail(status_text(rc), argv[0]);
  std::string what = failed == argv[0] || failed == argv[1] ? std::string(failed)
                                                            : std::string(argv[0]) + ".sig";
  fprintf(stderr, "zav: %s %s: %s\n", rc == ERR_WRITE ? "cannot write" : "cannot read",
          what.c_str(), strerror(detail));
  return 1;
}

int cmd_verify(int argc, char** argv) {
  if (argc != 2) return usage();
  const char* package = argv[0];
  const char* key_file = argv[1];
  std::vector<PublicKey> keys;
  int detail = 0;
  int rc = load_public_keys(key_file, &keys, &detail);
  if (rc != OK) {
    fprintf(stderr, "zav: %s\n", key_file_problem(key_file, rc, detail).c_str());
    return 1;
  }

  std::string sig_path = std::string(package) + ".sig", bytes;
  SignatureFile signature;
  rc = read_signature_file(sig_path.c_str(), &signature, &bytes);
  if (rc == ERR_READ) {
    fprintf(stderr, "zav: cannot read %s: %s\n", sig_path.c_str(), strerror(errno));
    return 1;
  }
  if (rc != OK) {
    fprintf(stderr, "zav: %s: not a signature (%zu bytes)\n", sig_path.c_str(), bytes.size());
    return 1;
  }

  UniqueFd fd(open(package, O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) {
    fprintf(stderr, "zav: cannot read %s: %s\n", package, strerror(errno));
    return 1;
  }
  int key = -1;
  rc = verify_signature_file(fd.fd, signature, keys, &key, &detail);
  if (rc == ERR_READ) {
    fprintf(stderr, "zav: cannot read %s: %s\n", package, strerror(detail));
    return 1;
  }
  if (rc != OK) return fail("bad signature: no key accepts", package);
  printf("%s: signature good, key %d of %s%s\n", package, key + 1, key_file,
         signature.names_release ? (", release " + signature.release).c_str() : "");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (standard_option(argc, argv, "zav", kUsage, kHelp)) return 0;
  if (argc < 2) return usage();
  const char* command = argv[1];
  if (strcmp(command, "create") == 0) return cmd_create(argc - 2, argv + 2);
  if (strcmp(command, "list") == 0) return cmd_list(argc - 2, argv + 2);
  if (strcmp(command, "extract") == 0) return cmd_extract(argc - 2, argv + 2);
  if (strcmp(command, "keygen") == 0) return cmd_keygen(argc - 2, argv + 2);
  if (strcmp(command, "sign") == 0) return cmd_sign(argc - 2, argv + 2);
  if (strcmp(command, "verify") == 0) return cmd_verify(argc - 2, argv + 2);
  return usage();
}
