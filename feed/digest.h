// SHA-256 and SHA-512 digests as lower-case hex digits (libsodium), for
// metadata, packages and key ids.
#pragma once

#include <string>

// Hex digest of `data` with "sha256" or "sha512"; empty for any other name.
std::string hex_digest(const std::string& algorithm, const std::string& data);

// SHA-256 of every byte of the open file `fd`, read with pread from offset 0
// (the descriptor stays the caller's), as 64 hex digits. OK, or ERR_READ
// with *detail = errno.
int sha256_hex(int fd, std::string* hex, int* detail);

// Both digests of the open file `fd`, as sha256_hex does one.
int file_digests(int fd, std::string* sha256, std::string* sha512, int* detail);
