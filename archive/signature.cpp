// Package signatures: key files, hashing a package through its open
// descriptor, signing and verifying. All cryptography is libsodium's.
#include "archive/signature.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/digest.h"
#include "base/durable_file.h"
#include "base/fd.h"
#include "base/small_file.h"
#include "base/status.h"

static_assert(kPublicKeySize == crypto_sign_PUBLICKEYBYTES, "Ed25519 public key size");
static_assert(kSecretSeedSize == crypto_sign_SEEDBYTES, "Ed25519 seed size");
static_assert(kSignatureSize == crypto_sign_BYTES, "Ed25519 signature size");
static_assert(kPackageDigestSize == kSha512Size, "SHA-512 digest size");

namespace {

// Key files are a few lines; anything larger is not a key file.
constexpr size_t kMaxKeyFileSize = 1 << 20;

// Wipes a secret seed however the scope is left.
struct SeedOwner {
  unsigned char bytes[kSecretSeedSize];
  ~SeedOwner() { sodium_memzero(bytes, sizeof bytes); }
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// A line of 64 hex digits and a newline.
std::string hex_line(const unsigned char* bytes, size_t size) { return hex_text(bytes, size) + "\n"; }

int load_secret_seed(const char* path, SeedOwner* seed, int* detail) {
  std::string text;
  if (read_small_file(path, 255, 0, &text) != OK) {
    *detail = errno;
    sodium_memzero(&text[0], text.size());
    return ERR_READ;
  }
  size_t length = text.size();
  while (length > 0 && (is_blank(text[length - 1]) || text[length - 1] == '\n')) length--;
  bool ok = hex_decode(text.data(), length, seed->bytes, kSecretSeedSize);
  sodium_memzero(&text[0], text.size());
  *detail = 0;
  return ok ? OK : ERR_BAD_DATA;
}

}  // namespace

int parse_public_keys(const char* text, size_t length, std::vector<PublicKey>* keys,
                      int* bad_line) {
  size_t found = 0;
  int line_number = 0;
  size_t start = 0;
  while (start < length) {
    size_t end = start;
    while (end < length && text[end] != '\n') end++;
    line_number++;
    size_t first = start, last = end;
    while (first < last && is_blank(text[first])) first++;
    while (last > first && is_blank(text[last - 1])) last--;
    if (first < last && text[first] != '#') {
      PublicKey key;
      if (!hex_decode(text + first, last - first, key.bytes, kPublicKeySize)) {
        // A line that was meant as a key and is not one is refused rather
        // than skipped: a vendor who mistypes the new key finds out at once
        // instead of when the old key is retired.
        *bad_line = line_number;
        return ERR_BAD_DATA;
      }
      keys->push_back(key);
      found++;
    }
    start = end + 1;
  }
  if (found == 0) {
    *bad_line = 0;
    return ERR_BAD_DATA;
  }
  return OK;
}

int load_public_keys(const char* path, std::vector<PublicKey>* keys, int* detail) {
  std::string text;
  if (read_small_file(path, kMaxKeyFileSize, 0, &text) != OK) {
    *detail = errno;
    return ERR_READ;
  }
  if (text.size() > kMaxKeyFileSize) {
    *detail = 0;
    return ERR_BAD_DATA;
  }
  return parse_public_keys(text.data(), text.size(), keys, detail);
}

std::string key_file_problem(const char* path, int rc, int detail) {
  if (rc == ERR_READ) return "cannot read key file " + std::string(path) + ": " + std::to_string(detail);
  if (detail > 0) return "malformed key on line " + std::to_string(detail) + " of " + path;
  return "no key in key file " + std::string(path);
}


int find_signing_key(const unsigned char digest[kPackageDigestSize],
                     const PackageSignature& signature, const std::vector<PublicKey>& keys) {
  if (sodium_init() < 0) return -1;
  for (size_t i = 0; i < keys.size(); i++) {
    if (crypto_sign_verify_detached(signature.bytes, digest, kPackageDigestSize,
                                    keys[i].bytes) == 0)
      return static_cast<int>(i);
  }
  return -1;
}

int verify_package_file(int fd, const PackageSignature& signature,
                        const std::vector<PublicKey>& keys, int* key, int* detail) {
  unsigned char digest[kPackageDigestSize];
  int rc = digest_file(fd, nullptr, digest, detail);
  if (rc != OK) return rc;
  *key = find_signing_key(digest, signature, keys);
  return *key < 0 ? ERR_BAD_DATA : OK;
}

int generate_key_pair(const char* secret_path, const char* public_path, int* detail) {
  if (sodium_init() < 0) return ERR_NO_MEMORY;
  // O_EXCL: a key pair is never made over an existing secret, which may be
  // the only copy of a key that installations trust.
  UniqueFd secret(open(secret_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (secret.fd < 0) {
    *detail = errno;
    return ERR_WRITE;
  }
  UniqueFd pub(open(public_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (pub.fd < 0) {
    *detail = errno;
    unlink(secret_path);
    return ERR_WRITE;
  }

  SeedOwner seed;
  unsigned char public_key[kPublicKeySize];
  unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
  randombytes_buf(seed.bytes, sizeof seed.bytes);
  crypto_sign_seed_keypair(public_key, secret_key, seed.bytes);
  sodium_memzero(secret_key, sizeof secret_key);

  std::string secret_text = hex_line(seed.bytes, sizeof seed.bytes);
  std::string public_text = hex_line(public_key, sizeof public_key);
  // The mode is set on the descriptor too, whatever the umask left of it.
  bool ok = fchmod(secret.fd, 0600) == 0 &&
            write_all(secret.fd, secret_text.data(), secret_text.size()) == OK &&
            fsync(secret.fd) == 0 && secret.close_checked() == 0 &&
            write_all(pub.fd, public_text.data(), public_text.size()) == OK &&
            pub.close_checked() == 0;
  *detail = ok ? 0 : errno;
  sodium_memzero(&secret_text[0], secret_text.size());
  if (!ok) {
    unlink(secret_path);
    unlink(public_path);
    return ERR_WRITE;
  }
  return OK;
}

int sign_with_secret_key(const char* secret_path, const unsigned char* data, size_t size,
                         PackageSignature* signature, int* detail) {
  if (sodium_init() < 0) return ERR_NO_MEMORY;
  SeedOwner seed;
  int rc = load_secret_seed(secret_path, &seed, detail);
  if (rc != OK) return rc;
  unsigned char public_key[kPublicKeySize];
  unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
  crypto_sign_seed_keypair(public_key, secret_key, seed.bytes);
  crypto_sign_detached(signature->bytes, nullptr, data, size, secret_key);
  sodium_memzero(secret_key, sizeof secret_key);
  return OK;
}

int public_key_of_secret(const char* secret_path, PublicKey* key, int* detail) {
  if (sodium_init() < 0) return ERR_NO_MEMORY;
  SeedOwner seed;
  int rc = load_secret_seed(secret_path, &seed, detail);
  if (rc != OK) return rc;
  unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
  crypto_sign_seed_keypair(key->bytes, secret_key, seed.bytes);
  sodium_memzero(secret_key, sizeof secret_key);
  return OK;
}

int write_signature_file(const char* package_path, const void* bytes, size_t size, int* detail,
                         const char** failed_file) {
  const char* ignored_name;
  if (failed_file == nullptr) failed_file = &ignored_name;
  // Written beside the package under a temporary name, flushed and renamed,
  // so that a failed write never leaves a half signature where the updater
  // looks, and a link planted at either name is replaced, never followed.
  *failed_file = "signature";
  std::string sig_path = std::string(package_path) + ".sig";
  if (write_file_atomically(sig_path.c_str(), bytes, size, 0644) != OK) {
    *detail = errno;
    return ERR_WRITE;
  }
  *detail = 0;
  return OK;
}
