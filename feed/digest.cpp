// Digests with libsodium.
#include "feed/digest.h"

#include <sodium.h>

#include "base/digest.h"
#include "base/status.h"


std::string hex_digest(const std::string& algorithm, const std::string& data) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  if (algorithm == "sha256") {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, bytes, data.size());
    return hex_text(digest, sizeof digest);
  }
  if (algorithm == "sha512") {
    unsigned char digest[crypto_hash_sha512_BYTES];
    crypto_hash_sha512(digest, bytes, data.size());
    return hex_text(digest, sizeof digest);
  }
  return "";
}

int file_digests(int fd, std::string* sha256, std::string* sha512, int* detail) {
  unsigned char d256[kSha256Size], d512[kSha512Size];
  int rc = digest_file(fd, d256, d512, detail);
  if (rc != OK) return rc;
  *sha256 = hex_text(d256, sizeof d256);
  if (sha512 != nullptr) *sha512 = hex_text(d512, sizeof d512);
  return OK;
}

int sha256_hex(int fd, std::string* hex_out, int* detail) {
  return file_digests(fd, hex_out, nullptr, detail);
}
