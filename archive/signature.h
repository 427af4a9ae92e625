// Package signatures: Ed25519 (libsodium) over the SHA-512 digest of the whole
// package file. The signature file holds the 64 raw signature bytes; a public
// key file lists one key per line as 64 hex digits (blank lines and lines
// starting with '#' are skipped), so that a new key can be shipped beside the
// old one before packages are signed with it. A secret key file holds the
// 32-byte Ed25519 seed as 64 hex digits and a newline.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

constexpr size_t kPublicKeySize = 32;
constexpr size_t kSecretSeedSize = 32;
constexpr size_t kSignatureSize = 64;
constexpr size_t kPackageDigestSize = 64;

struct PublicKey {
  unsigned char bytes[kPublicKeySize];
};

struct PackageSignature {
  unsigned char bytes[kSignatureSize];
};

// Parses key-file text of `length` bytes into `keys` (appended, in file
// order). OK; ERR_BAD_DATA when a line is not a key (*bad_line = its 1-based
// number) or when the text holds no key at all (*bad_line = 0).
int parse_public_keys(const char* text, size_t length, std::vector<PublicKey>* keys,
                      int* bad_line);

// Files are opened without blocking, so a named pipe never stalls a caller.
//
// Reads and parses the key file at `path`. OK; ERR_READ when it cannot be
// opened or read (*detail = errno, ENOENT for a file that does not exist);
// ERR_BAD_DATA as parse_public_keys (*detail = the bad line, 0 for no key).
int load_public_keys(const char* path, std::vector<PublicKey>* keys, int* detail);

// What is wrong with the key file at `path`, from load_public_keys' `rc`
// and `detail`, in the words of the updater's log: "cannot read key file
// PATH: ERRNO", "malformed key on line N of PATH" or "no key in key file PATH".
std::string key_file_problem(const char* path, int rc, int detail);


// The 0-based index of the first key in `keys` for which `signature` is a
// valid signature of `digest`, or -1 when there is none.
int find_signing_key(const unsigned char digest[kPackageDigestSize],
                     const PackageSignature& signature, const std::vector<PublicKey>& keys);

// The whole check of the package open at `fd` against `signature`: its
// digest (digest_file) and the first key that accepts it. OK with *key =
// that key's 0-based index; ERR_READ (*detail = errno) when the package
// cannot be read; ERR_BAD_DATA when no key in `keys` accepts it.
int verify_package_file(int fd, const PackageSignature& signature,
                        const std::vector<PublicKey>& keys, int* key, int* detail);

// Makes a new key pair: the secret seed into `secret_path` (created new, mode
// 0600, never overwriting a file) and the public key line into `public_path`
// (created new, mode 0644). OK, ERR_NO_MEMORY when libsodium cannot start, or
// ERR_WRITE (*detail = errno), in which case neither file is left behind.
int generate_key_pair(const char* secret_path, const char* public_path, int* detail);

// Signs `size` bytes at `data` with the secret key file at `secret_path`
// (pure Ed25519). OK; ERR_READ (*detail = errno) or ERR_BAD_DATA (*detail =
// 0) for an unreadable or malformed key file; ERR_NO_MEMORY when libsodium
// cannot start.
int sign_with_secret_key(const char* secret_path, const unsigned char* data, size_t size,
                         PackageSignature* signature, int* detail);

// The public half of the secret key file at `secret_path`; statuses as
// sign_with_secret_key.
int public_key_of_secret(const char* secret_path, PublicKey* key, int* detail);

// Writes `size` bytes as "<package_path>.sig" (a temporary file renamed into
// place). OK, or ERR_WRITE with *detail = errno and *failed_file (may be
// null) = "signature".
int write_signature_file(const char* package_path, const void* bytes, size_t size, int* detail,
                         const char** failed_file);
