// The signature file that names the release a package brings. A package
// signature made before releases were named is the 64 raw bytes of an
// Ed25519 signature of the package's SHA-512 digest (signature.h); one that
// names its release is a short text whose last line signs the lines above it:
//
//   zav-release-signature 1
//   release 2.0
//   replaces 2.1                 (only for a release put in place of a withdrawn one)
//   sha512 <128 hex digits: the package's SHA-512>
//   ed25519 <128 hex digits: Ed25519 signature of every byte above this line>
//
// So the key binds the version to the bytes: a package cannot be passed off
// as another release, and an older release is known as older.
#pragma once

#include <string>
#include <vector>

#include "archive/signature.h"

// The largest signature file read; a statement is a few hundred bytes.
constexpr size_t kMaxSignatureFileSize = 4096;

struct SignatureFile {
  bool names_release = false;  // false: the 64-byte form, which names nothing
  PackageSignature signature;  // over the digest (old form) or the statement
  std::string statement;       // the signed lines (names_release only)
  std::string release, replaces;
  unsigned char digest[kPackageDigestSize] = {};
};

// Reads and parses the signature file at `path`. OK; ERR_READ (errno set)
// when it cannot be read; ERR_BAD_DATA when it is of neither form (*bytes
// holds what was read, at most kMaxSignatureFileSize + 1 bytes).
int read_signature_file(const char* path, SignatureFile* file, std::string* bytes);

// Parses the bytes of a signature file of either form. OK, or ERR_BAD_DATA
// with *error saying what is wrong.
int parse_signature_file(const std::string& bytes, SignatureFile* file, std::string* error);

// Checks `file` against the package open at `fd` (read with pread; the
// descriptor stays the caller's) and `keys`: the signature by some key, and
// for a statement the package's digest. OK with *key = the key's index;
// ERR_READ (*detail = errno) when the package cannot be read; ERR_BAD_DATA
// when no key signed it or the digest is another package's.
int verify_signature_file(int fd, const SignatureFile& file, const std::vector<PublicKey>& keys,
                          int* key, int* detail);

// Signs the package at `package_path` with the secret key file at
// `secret_path` and writes the signature to "<package_path>.sig": the form
// that names `release` (and `replaces`, empty for none), or the 64-byte form
// when `release` is empty. OK; ERR_READ (*detail = errno) or ERR_BAD_DATA
// (*detail = 0) for an unreadable package or a malformed secret key file;
// ERR_WRITE (*detail = errno) when the signature cannot be written;
// ERR_NO_MEMORY when libsodium cannot start. *failed_file (may be null) names
// the file that failed: one of the two paths given, or "signature".
int sign_package_file(const char* package_path, const char* secret_path, const std::string& release,
                      const std::string& replaces, int* detail, const char** failed_file);

// The text of a signature file naming `release` (and `replaces`, empty for
// none) for the package open at `fd`, signed with the secret key file at
// `secret_path`. OK; ERR_READ (*detail = errno) or ERR_BAD_DATA (*detail =
// 0) for an unreadable package or a malformed secret key file.
int make_release_signature(int fd, const char* secret_path, const std::string& release,
                           const std::string& replaces, std::string* text, int* detail);
