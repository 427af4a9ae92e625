// Digests with libsodium.
#include "feed/digest.h"

#include <sodium.h>

#include "base/fd.h"
#include "base/status.h"

namespace {

std::string hex(const unsigned char* bytes, size_t size) {
  std::string text(2 * size + 1, '\0');
  sodium_bin2hex(&text[0], text.size(), bytes, size);
  text.pop_back();
  return text;
}

struct BothStates {
  crypto_hash_sha256_state sha256;
  crypto_hash_sha512_state sha512;
};

}  // namespace

std::string hex_digest(const std::string& algorithm, const std::string& data) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  if (algorithm == "sha256") {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, bytes, data.size());
    return hex(digest, sizeof digest);
  }
  if (algorithm == "sha512") {
    unsigned char digest[crypto_hash_sha512_BYTES];
    crypto_hash_sha512(digest, bytes, data.size());
    return hex(digest, sizeof digest);
  }
  return "";
}

int file_digests(int fd, std::string* sha256, std::string* sha512, int* detail) {
  BothStates states;
  crypto_hash_sha256_init(&states.sha256);
  crypto_hash_sha512_init(&states.sha512);
  int rc = read_whole_at(
      fd,
      [](void* context, const unsigned char* data, size_t size) {
        auto* s = static_cast<BothStates*>(context);
        crypto_hash_sha256_update(&s->sha256, data, size);
        crypto_hash_sha512_update(&s->sha512, data, size);
      },
      &states, detail);
  if (rc != OK) return rc;
  unsigned char d256[crypto_hash_sha256_BYTES], d512[crypto_hash_sha512_BYTES];
  crypto_hash_sha256_final(&states.sha256, d256);
  crypto_hash_sha512_final(&states.sha512, d512);
  *sha256 = hex(d256, sizeof d256);
  if (sha512 != nullptr) *sha512 = hex(d512, sizeof d512);
  return OK;
}

int sha256_hex(int fd, std::string* hex_out, int* detail) {
  return file_digests(fd, hex_out, nullptr, detail);
}
