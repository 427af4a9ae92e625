// Signature files that name a release: parsing, checking and making them.
#include "archive/release_statement.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <sodium.h>

#include <cstring>
#include <sstream>

#include "archive/release_version.h"
#include "base/digest.h"
#include "base/fd.h"
#include "base/small_file.h"
#include "base/status.h"

namespace {

const char kHeader[] = "zav-release-signature 1";

}  // namespace

int parse_signature_file(const std::string& bytes, SignatureFile* file, std::string* error) {
  *file = SignatureFile{};
  if (bytes.size() == kSignatureSize && bytes.compare(0, sizeof kHeader - 1, kHeader) != 0) {
    memcpy(file->signature.bytes, bytes.data(), kSignatureSize);
    return OK;
  }
  // The statement: its lines in a fixed order, each "word value", then the
  // signature line; nothing is skipped, so nothing unsigned can hide in it.
  size_t last = bytes.size() >= 2 ? bytes.rfind('\n', bytes.size() - 2) : std::string::npos;
  if (bytes.empty() || bytes.back() != '\n' || last == std::string::npos) {
    *error = "neither a 64-byte signature nor a release statement";
    return ERR_BAD_DATA;
  }
  file->statement = bytes.substr(0, last + 1);
  std::istringstream lines(file->statement);
  std::string line, sha512;
  bool header = std::getline(lines, line) && line == kHeader;
  while (header && std::getline(lines, line)) {
    size_t blank = line.find(' ');
    std::string word = line.substr(0, blank), value = blank == std::string::npos ? "" : line.substr(blank + 1);
    if (word == "release" && file->release.empty() && sha512.empty()) {
      file->release = value;
    } else if (word == "replaces" && !file->release.empty() && file->replaces.empty() && sha512.empty()) {
      file->replaces = value;
    } else if (word == "sha512" && sha512.empty()) {
      sha512 = value;
    } else {
      header = false;
    }
  }
  std::string signature_line = bytes.substr(last + 1, bytes.size() - last - 2);
  if (!header || !valid_version(file->release) ||
      (!file->replaces.empty() && !valid_version(file->replaces)) ||
      !hex_decode(sha512.data(), sha512.size(), file->digest, sizeof file->digest) ||
      signature_line.compare(0, 8, "ed25519 ") != 0 ||
      !hex_decode(signature_line.data() + 8, signature_line.size() - 8, file->signature.bytes, kSignatureSize)) {
    *error = "malformed release statement";
    return ERR_BAD_DATA;
  }
  file->names_release = true;
  return OK;
}

int verify_signature_file(int fd, const SignatureFile& file, const std::vector<PublicKey>& keys,
                          int* key, int* detail) {
  if (!file.names_release) return verify_package_file(fd, file.signature, keys, key, detail);
  unsigned char digest[kPackageDigestSize];
  int rc = digest_file(fd, nullptr, digest, detail);
  if (rc != OK) return rc;
  *key = -1;
  if (sodium_init() < 0) return ERR_BAD_DATA;
  for (size_t i = 0; i < keys.size() && *key < 0; i++) {
    if (crypto_sign_verify_detached(file.signature.bytes,
                                    reinterpret_cast<const unsigned char*>(file.statement.data()),
                                    file.statement.size(), keys[i].bytes) == 0)
      *key = static_cast<int>(i);
  }
  // A good statement about other bytes is no statement about these.
  if (*key < 0 || sodium_memcmp(digest, file.digest, sizeof digest) != 0) {
    *key = -1;
    return ERR_BAD_DATA;
  }
  return OK;
}

int make_release_signature(int fd, const char* secret_path, const std::string& release,
                           const std::string& replaces, std::string* text, int* detail) {
  unsigned char digest[kPackageDigestSize];
  int rc = digest_file(fd, nullptr, digest, detail);
  if (rc != OK) return rc;
  std::string statement = std::string(kHeader) + "\nrelease " + release + "\n";
  if (!replaces.empty()) statement += "replaces " + replaces + "\n";
  statement += "sha512 " + hex_text(digest, sizeof digest) + "\n";
  PackageSignature signature;
  rc = sign_with_secret_key(secret_path, reinterpret_cast<const unsigned char*>(statement.data()),
                            statement.size(), &signature, detail);
  if (rc != OK) return rc;
  *text = statement + "ed25519 " + hex_text(signature.bytes, sizeof signature.bytes) + "\n";
  return OK;
}

int sign_package_file(const char* package_path, const char* secret_path, const std::string& release,
                      const std::string& replaces, int* detail, const char** failed_file) {
  const char* ignored_name;
  if (failed_file == nullptr) failed_file = &ignored_name;
  if (sodium_init() < 0) return ERR_NO_MEMORY;

  // The key is read before the package, so that a bad key names the key.
  PublicKey ignored_key;
  *failed_file = secret_path;
  int rc = public_key_of_secret(secret_path, &ignored_key, detail);
  if (rc != OK) return rc;

  *failed_file = package_path;
  UniqueFd package(open(package_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!package.ok()) {
    *detail = errno;
    return ERR_READ;
  }
  std::string text;
  if (!release.empty()) {
    rc = make_release_signature(package.fd, secret_path, release, replaces, &text, detail);
  } else {
    unsigned char digest[kPackageDigestSize];
    PackageSignature signature;
    rc = digest_file(package.fd, nullptr, digest, detail);
    if (rc == OK) rc = sign_with_secret_key(secret_path, digest, sizeof digest, &signature, detail);
    if (rc == OK) text.assign(reinterpret_cast<const char*>(signature.bytes), sizeof signature.bytes);
  }
  if (rc != OK) {
    if (rc != ERR_READ) *failed_file = secret_path;
    return rc;
  }
  return write_signature_file(package_path, text.data(), text.size(), detail, failed_file);
}

int read_signature_file(const char* path, SignatureFile* file, std::string* bytes) {
  if (read_small_file(path, kMaxSignatureFileSize, 0, bytes) != OK) return ERR_READ;
  std::string error;
  return parse_signature_file(*bytes, file, &error);
}
