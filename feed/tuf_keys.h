// Keys in TUF's key format and the signatures they make over canonical JSON:
// Ed25519 with libsodium, ECDSA (NIST P-256/P-384) and RSA-PSS with OpenSSL.
//
//   {"keytype": "ed25519", "scheme": "ed25519", "keyval": {"public": "<64 hex digits>"}}
//   {"keytype": "ecdsa", "scheme": "ecdsa-sha2-nistp256", "keyval": {"public": "<PEM>"}}
//   {"keytype": "rsa", "scheme": "rsassa-pss-sha256", "keyval": {"public": "<PEM>"}}
//
// A key's id is the SHA-256 of its canonical form, every field included.
// Our own signing keys are Ed25519 secret key files as `zav keygen` makes
// them (the 32-byte seed as 64 hex digits).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "archive/signature.h"

struct TufKey {
  std::string keytype, scheme, public_value;
  nlohmann::json raw;  // the object as listed: its id and its bytes when written back
};

// Reads a key object. False when "keytype", "scheme" or "keyval"."public" is
// missing or not a string; a key of a type we cannot check is still read, and
// never verifies anything.
bool parse_tuf_key(const nlohmann::json& object, TufKey* key);

// The key id of a key object: SHA-256 hex of its canonical form (empty when
// it has no canonical form).
std::string tuf_key_id(const nlohmann::json& object);

// True when `signature_hex` is a valid signature by `key` of `message`.
bool verify_tuf_signature(const TufKey& key, const std::string& signature_hex,
                          const std::string& message);

// The key object of an Ed25519 public key.
nlohmann::json ed25519_key_object(const PublicKey& key);

// A signing key of ours: the secret key file and the public key it stands for.
struct TufSigner {
  std::string secret_path;
  std::string keyid;
  PublicKey public_key;
};

// Reads the secret key file at `path` (only its public half is kept). OK, or
// the status with *error naming the file.
int load_tuf_signer(const std::string& path, TufSigner* signer, std::string* error);

// Signs `message` with `signer` into *signature_hex. OK, or the status with *error.
int tuf_sign(const TufSigner& signer, const std::string& message, std::string* signature_hex,
             std::string* error);
