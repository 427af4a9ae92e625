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

#include "base/durable_file.h"
#include "base/fd.h"
#include "base/status.h"

static_assert(kPublicKeySize == crypto_sign_PUBLICKEYBYTES, "Ed25519 public key size");
static_assert(kSecretSeedSize == crypto_sign_SEEDBYTES, "Ed25519 seed size");
static_assert(kSignatureSize == crypto_sign_BYTES, "Ed25519 signature size");
static_assert(kPackageDigestSize == crypto_hash_sha512_BYTES, "SHA-512 digest size");

namespace {

// Key files are a few lines; anything larger is not a key file.
constexpr size_t kMaxKeyFileSize = 1 << 20;

// Wipes a secret seed however the scope is left.
struct SeedOwner {
  unsigned char bytes[kSecretSeedSize];
  ~SeedOwner() { sodium_memzero(bytes, sizeof bytes); }
};

// O_NONBLOCK: a named pipe put in place of a key, a signature or a package
// then reads as empty (or fails) instead of stalling the run for a writer.
int open_for_reading(const char* path) { return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC); }

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Reads up to `limit` bytes of `fd` into `out`; -1 with errno on a read error.
ssize_t read_up_to(int fd, std::string* out, size_t limit) {
  char buffer[4096];
  while (out->size() < limit) {
    size_t want = limit - out->size() < sizeof buffer ? limit - out->size() : sizeof buffer;
    ssize_t n = read(fd, buffer, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    out->append(buffer, static_cast<size_t>(n));
  }
  return static_cast<ssize_t>(out->size());
}

// Decodes exactly 2 * size hex digits (no separators) into `out`.
bool decode_hex(const char* text, size_t length, unsigned char* out, size_t size) {
  if (length != 2 * size) return false;
  size_t written = 0;
  const char* end = nullptr;
  if (sodium_hex2bin(out, size, text, length, nullptr, &written, &end) != 0) return false;
  return written == size && end == text + length;
}

// A line of 64 hex digits and a newline.
std::string hex_line(const unsigned char* bytes, size_t size) {
  std::string text(2 * size + 1, '\0');
  sodium_bin2hex(&text[0], text.size(), bytes, size);
  text.back() = '\n';
  return text;
}

int load_secret_seed(const char* path, SeedOwner* seed, int* detail) {
  UniqueFd file(open_for_reading(path));
  if (file.fd < 0) {
    *detail = errno;
    return ERR_READ;
  }
  std::string text;
  if (read_up_to(file.fd, &text, 256) < 0) {
    *detail = errno;
    sodium_memzero(&text[0], text.size());
    return ERR_READ;
  }
  size_t length = text.size();
  while (length > 0 && (is_blank(text[length - 1]) || text[length - 1] == '\n')) length--;
  bool ok = decode_hex(text.data(), length, seed->bytes, kSecretSeedSize);
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
      if (!decode_hex(text + first, last - first, key.bytes, kPublicKeySize)) {
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
  UniqueFd file(open_for_reading(path));
  if (file.fd < 0) {
    *detail = errno;
    return ERR_READ;
  }
  std::string text;
  if (read_up_to(file.fd, &text, kMaxKeyFileSize + 1) < 0) {
    *detail = errno;
    return ERR_READ;
  }
  if (text.size() > kMaxKeyFileSize) {
    *detail = 0;
    return ERR_BAD_DATA;
  }
  return parse_public_keys(text.data(), text.size(), keys, detail);
}

int read_signature(const char* path, PackageSignature* signature, int* detail) {
  UniqueFd file(open_for_reading(path));
  if (file.fd < 0) {
    *detail = errno;
    return ERR_READ;
  }
  // One byte more than a signature, to tell a long file from an exact one.
  std::string bytes;
  if (read_up_to(file.fd, &bytes, kSignatureSize + 1) < 0) {
    *detail = errno;
    return ERR_READ;
  }
  if (bytes.size() != kSignatureSize) {
    *detail = static_cast<int>(bytes.size());
    return ERR_BAD_DATA;
  }
  memcpy(signature->bytes, bytes.data(), kSignatureSize);
  return OK;
}

int hash_package(int fd, unsigned char digest[kPackageDigestSize], int* detail) {
  crypto_hash_sha512_state state;
  crypto_hash_sha512_init(&state);
  int rc = read_whole_at(
      fd,
      [](void* context, const unsigned char* data, size_t size) {
        crypto_hash_sha512_update(static_cast<crypto_hash_sha512_state*>(context), data, size);
      },
      &state, detail);
  if (rc != OK) return rc;
  crypto_hash_sha512_final(&state, digest);
  return OK;
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
  int rc = hash_package(fd, digest, detail);
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
