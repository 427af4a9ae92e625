// File digests with libsodium.
#include "base/digest.h"

#include <sodium.h>

#include "base/fd.h"
#include "base/status.h"

namespace {

struct States {
  crypto_hash_sha256_state sha256;
  crypto_hash_sha512_state sha512;
};

}  // namespace

int digest_file(int fd, unsigned char* sha256, unsigned char* sha512, int* detail) {
  static_assert(kSha256Size == crypto_hash_sha256_BYTES && kSha512Size == crypto_hash_sha512_BYTES,
                "digest sizes");
  States states;
  crypto_hash_sha256_init(&states.sha256);
  crypto_hash_sha512_init(&states.sha512);
  int rc = read_whole_at(
      fd,
      [](void* context, const unsigned char* data, size_t size) {
        auto* s = static_cast<States*>(context);
        crypto_hash_sha256_update(&s->sha256, data, size);
        crypto_hash_sha512_update(&s->sha512, data, size);
      },
      &states, detail);
  if (rc != OK) return rc;
  unsigned char d256[kSha256Size], d512[kSha512Size];
  crypto_hash_sha256_final(&states.sha256, sha256 != nullptr ? sha256 : d256);
  crypto_hash_sha512_final(&states.sha512, sha512 != nullptr ? sha512 : d512);
  return OK;
}

std::string hex_text(const unsigned char* bytes, size_t size) {
  std::string text(2 * size + 1, '\0');
  sodium_bin2hex(&text[0], text.size(), bytes, size);
  text.pop_back();
  return text;
}

bool hex_decode(const char* text, size_t length, unsigned char* out, size_t size) {
  if (length != 2 * size) return false;
  size_t written = 0;
  const char* end = nullptr;
  return sodium_hex2bin(out, size, text, length, nullptr, &written, &end) == 0 && written == size &&
         end == text + length;
}
