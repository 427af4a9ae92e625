// The signature check that stands between the update directory and the
// package reader. A configured key makes it fail closed: whatever goes wrong
// with keys or signature, the package is never read.
#include "driver/package_trust.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "archive/reader.h"
#include "archive/release_statement.h"
#include "archive/signature.h"
#include "base/fd.h"
#include "base/log.h"
#include "base/small_file.h"
#include "base/status.h"

const char* program_argv0 = nullptr;
PackageRelease opened_package_release;

namespace {

// Loads the keys; *configured tells whether the installation has a key file
// at all. A name that exists but cannot be opened (even a dangling link)
// counts as configured, so that it fails instead of turning checks off.
int load_keys(const std::string& key_path, std::vector<PublicKey>* keys, bool* configured) {
  int detail = 0;
  int rc = load_public_keys(key_path.c_str(), keys, &detail);
  struct stat st;
  bool absent = rc == ERR_READ && (detail == ENOENT || detail == ENOTDIR) &&
                lstat(key_path.c_str(), &st) != 0;
  *configured = !absent;
  if (rc == OK || !*configured) return rc;
  log_printf("%s\n", key_file_problem(key_path.c_str(), rc, detail).c_str());
  return rc;
}

// Reads the signature file, either form (archive/release_statement.h).
int read_signature_file(const std::string& sig_path, SignatureFile* file) {
  std::string bytes;
  int rc = read_signature_file(sig_path.c_str(), file, &bytes);
  if (rc == ERR_READ) {
    if (errno == ENOENT) {
      log_printf("missing signature %s\n", sig_path.c_str());
    } else {
      log_printf("cannot read signature %s: %d\n", sig_path.c_str(), errno);
    }
    return ERR_READ;
  }
  if (rc != OK) {
    log_printf("malformed signature %s: %zu bytes\n", sig_path.c_str(), bytes.size());
    return ERR_BAD_DATA;
  }
  return OK;
}

// Checks the signature of the open package against `keys`; a statement's
// release goes to *release.
int check_signature(FILE* package, const std::string& sig_path,
                    const std::vector<PublicKey>& keys, const std::string& key_path,
                    PackageRelease* release) {
  SignatureFile file;
  int rc = read_signature_file(sig_path, &file);
  if (rc != OK) return rc;
  int key = -1;
  int detail = 0;
  rc = verify_signature_file(fileno(package), file, keys, &key, &detail);
  if (rc == ERR_READ) {
    log_printf("cannot read package to check its signature: %d\n", detail);
    return rc;
  }
  if (rc != OK) {
    log_printf("bad signature: no key in %s accepts the package\n", key_path.c_str());
    return rc;
  }
  log_printf("signature verified with key %d of %s\n", key + 1, key_path.c_str());
  if (file.names_release) {
    log_printf("the package brings release %s\n", file.release.c_str());
    *release = {file.release, file.replaces};
  }
  return OK;
}

// An unnamed file in the update directory that nobody else can open.
int private_file() {
  int fd = open(update_dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  // File systems without unnamed files: a named one, unlinked at once.
  std::string name = std::string(update_dir) + "/update.zav.XXXXXX";
  fd = mkostemp(&name[0], O_CLOEXEC);
  if (fd >= 0) unlink(name.c_str());
  return fd;
}

// Opens the package for reading in *fd (the caller's). Not blocking on a
// named pipe in place of the package: anything but a regular file is
// refused at once, logged. OK or ERR_READ.
int open_regular(const char* package_path, UniqueFd* fd) {
  fd->reset(open(package_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd->ok()) return ERR_READ;
  struct stat st;
  if (fstat(fd->fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    log_printf("package is not a regular file: %s\n", package_path);
    return ERR_READ;
  }
  return OK;
}

// The package as a stream, which takes the descriptor over; null on failure.
FILE* open_stream(UniqueFd* fd) {
  FILE* package = fdopen(fd->fd, "rb");
  if (package != nullptr) fd->release();
  return package;
}

// The program's own file, whatever name or link started it; empty when the
// system does not tell.
std::string own_executable() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return std::string();
  return std::string(buffer, static_cast<size_t>(n));
}

// Copies the package into a private file, positioned at its start, in *copy
// (the caller's). ERR_READ when the package cannot be read, ERR_WRITE when
// the copy cannot be written; each logged.
int copy_package(const char* package_path, UniqueFd* copy) {
  UniqueFd in;
  int rc = open_regular(package_path, &in);
  if (rc != OK) return rc;
  UniqueFd out(private_file());
  if (!out.ok()) {
    log_printf("cannot copy package to check its signature: %d\n", errno);
    return ERR_WRITE;
  }
  rc = copy_fd(in.fd, out.fd);
  if (rc == ERR_READ) log_printf("cannot read package to check its signature: %d\n", errno);
  if (rc == ERR_WRITE) log_printf("cannot copy package to check its signature: %d\n", errno);
  if (rc == OK && lseek(out.fd, 0, SEEK_SET) != 0) rc = ERR_READ;
  if (rc != OK) return rc;
  copy->reset(out.release());
  return OK;
}

}  // namespace

int open_package(const char* package_path) {
  package_reader.Close();
  opened_package_release = PackageRelease{};
  if (program_argv0 == nullptr) return package_reader.Open(package_path);
  // Whole strings rather than the usual fixed buffers: a key path cut short
  // would name a file that does not exist, which would turn checks off.
  // Beside the name that started the program, and beside the program itself:
  // started through PATH or a link, argv[0] alone would miss the key.
  std::string key_path;
  std::vector<PublicKey> keys;
  bool configured = false;
  int rc = OK;
  std::string executable = own_executable();
  for (const std::string& program : {std::string(program_argv0), executable}) {
    if (program.empty()) continue;
    key_path = program + ".pub";
    rc = load_keys(key_path, &keys, &configured);
    if (configured) break;
  }
  UniqueFd fd;
  if (!configured) {
    log_printf("package not verified: no key file\n");
    rc = open_regular(package_path, &fd);
    if (rc != OK) return rc;
    FILE* package = open_stream(&fd);
    return package != nullptr ? package_reader.OpenFile(package) : ERR_READ;
  }
  if (rc != OK) return rc;

  // The check and the reader use one private copy: what was verified is what
  // is read, even if the name is replaced or the file rewritten in place
  // while the run goes on.
  rc = copy_package(package_path, &fd);
  if (rc != OK) return rc;
  FILE* package = open_stream(&fd);
  if (package == nullptr) return ERR_READ;
  PackageRelease release;
  rc = check_signature(package, std::string(package_path) + ".sig", keys, key_path, &release);
  if (rc == OK) rc = check_installed_release(release);
  if (rc != OK) {
    fclose(package);
    return rc;
  }
  rc = package_reader.OpenFile(package);
  package_reader.verified = rc == OK;
  if (rc == OK) opened_package_release = release;
  return rc;
}
