// Digests of a whole open file, SHA-256 and SHA-512 (libsodium), in one pass.
#pragma once

#include <cstddef>
#include <string>

constexpr size_t kSha256Size = 32;
constexpr size_t kSha512Size = 64;

// The digests of every byte of the open file `fd`, read with pread from
// offset 0, so the descriptor's position (and a stream on it) is left alone;
// the descriptor stays the caller's. Either output may be null. OK, or
// ERR_READ with *detail = errno.
int digest_file(int fd, unsigned char* sha256, unsigned char* sha512, int* detail);

// `size` bytes as lower-case hex digits.
std::string hex_text(const unsigned char* bytes, size_t size);

// Decodes exactly 2 * size hex digits (no separators) of `text`, `length`
// bytes long, into `out`. False for anything else.
bool hex_decode(const char* text, size_t length, unsigned char* out, size_t size);
