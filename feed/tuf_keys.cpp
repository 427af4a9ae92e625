// TUF keys and signatures. Ed25519 is libsodium's; ECDSA and RSA-PSS are
// OpenSSL's, their public keys read from PEM.
#include "feed/tuf_keys.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sodium.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "base/digest.h"
#include "base/status.h"
#include "feed/canonical_json.h"
#include "feed/digest.h"

using nlohmann::json;

namespace {

bool decode_hex(const std::string& text, std::vector<unsigned char>* out) {
  out->resize(text.size() / 2);
  return hex_decode(text.data(), text.size(), out->data(), out->size());
}

bool verify_ed25519(const std::string& public_hex, const std::vector<unsigned char>& signature,
                    const std::string& message) {
  std::vector<unsigned char> key;
  if (!decode_hex(public_hex, &key) || key.size() != crypto_sign_PUBLICKEYBYTES ||
      signature.size() != crypto_sign_BYTES || sodium_init() < 0)
    return false;
  return crypto_sign_verify_detached(signature.data(),
                                     reinterpret_cast<const unsigned char*>(message.data()),
                                     message.size(), key.data()) == 0;
}

// ECDSA (DER signature) or RSA-PSS over `message` with the PEM public key.
bool verify_openssl(const std::string& pem, bool rsa, const EVP_MD* md,
                    const std::vector<unsigned char>& signature, const std::string& message) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())),
                                                BIO_free);
  if (!bio) return false;
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
  if (!key) return false;
  int id = EVP_PKEY_get_base_id(key.get());
  if (rsa ? id != EVP_PKEY_RSA || EVP_PKEY_get_bits(key.get()) < 2048 : id != EVP_PKEY_EC)
    return false;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_PKEY_CTX* pctx = nullptr;
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), &pctx, md, nullptr, key.get()) != 1) return false;
  if (rsa && (EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) != 1 ||
              EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_AUTO) != 1))
    return false;
  return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

}  // namespace

bool parse_tuf_key(const json& object, TufKey* key) {
  if (!object.is_object()) return false;
  auto type = object.find("keytype"), scheme = object.find("scheme"), val = object.find("keyval");
  if (type == object.end() || !type->is_string() || scheme == object.end() ||
      !scheme->is_string() || val == object.end() || !val->is_object())
    return false;
  auto pub = val->find("public");
  if (pub == val->end() || !pub->is_string()) return false;
  key->keytype = type->get<std::string>();
  key->scheme = scheme->get<std::string>();
  key->public_value = pub->get<std::string>();
  key->raw = object;
  return true;
}

std::string tuf_key_id(const json& object) {
  std::string canonical;
  if (!canonical_json(object, &canonical)) return "";
  return hex_digest("sha256", canonical);
}

bool verify_tuf_signature(const TufKey& key, const std::string& signature_hex,
                          const std::string& message) {
  std::vector<unsigned char> signature;
  if (signature_hex.empty() || !decode_hex(signature_hex, &signature)) return false;
  if (key.keytype == "ed25519" && key.scheme == "ed25519")
    return verify_ed25519(key.public_value, signature, message);
  bool ecdsa_type = key.keytype == "ecdsa" || key.keytype == key.scheme;
  if (ecdsa_type && key.scheme == "ecdsa-sha2-nistp256")
    return verify_openssl(key.public_value, false, EVP_sha256(), signature, message);
  if (ecdsa_type && key.scheme == "ecdsa-sha2-nistp384")
    return verify_openssl(key.public_value, false, EVP_sha384(), signature, message);
  if (key.keytype == "rsa" && key.scheme == "rsassa-pss-sha256")
    return verify_openssl(key.public_value, true, EVP_sha256(), signature, message);
  return false;
}

json ed25519_key_object(const PublicKey& key) {
  return {{"keytype", "ed25519"},
          {"scheme", "ed25519"},
          {"keyval", {{"public", hex_text(key.bytes, sizeof key.bytes)}}}};
}

int load_tuf_signer(const std::string& path, TufSigner* signer, std::string* error) {
  int detail = 0;
  int rc = public_key_of_secret(path.c_str(), &signer->public_key, &detail);
  if (rc != OK) {
    *error = path + ": " + (rc == ERR_READ ? strerror(detail) : "not a secret key file");
    return rc;
  }
  signer->secret_path = path;
  signer->keyid = tuf_key_id(ed25519_key_object(signer->public_key));
  return OK;
}

int tuf_sign(const TufSigner& signer, const std::string& message, std::string* signature_hex,
             std::string* error) {
  PackageSignature signature;
  int detail = 0;
  int rc = sign_with_secret_key(signer.secret_path.c_str(),
                                reinterpret_cast<const unsigned char*>(message.data()),
                                message.size(), &signature, &detail);
  if (rc != OK) {
    *error = signer.secret_path + ": " + (rc == ERR_READ ? strerror(detail) : "not a secret key file");
    return rc;
  }
  *signature_hex = hex_text(signature.bytes, sizeof signature.bytes);
  return OK;
}
