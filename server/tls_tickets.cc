#include "tls_tickets.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>

namespace orvane {

namespace {

// Keys cipher (AES-256-CBC) and mac (HMAC-SHA256) for sealing (enc 1) or opening a ticket.
bool key_contexts(const unsigned char aes[32], const unsigned char hmac[32], unsigned char* iv,
                  EVP_CIPHER_CTX* cipher, EVP_MAC_CTX* mac, int enc) {
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_end(),
  };
  if (EVP_MAC_CTX_set_params(mac, params) != 1) return false;
  if (EVP_MAC_init(mac, hmac, 32, nullptr) != 1) return false;
  return EVP_CipherInit_ex(cipher, EVP_aes_256_cbc(), nullptr, aes, iv, enc) == 1;
}

}  // namespace

ticket_keys::ticket_keys(int64_t rotation_seconds) : period_(rotation_seconds) {}

ticket_keys::~ticket_keys() {
  kt::mutex_guard guard(lock_);
  OPENSSL_cleanse(&current_, sizeof current_);
  OPENSSL_cleanse(&previous_, sizeof previous_);
}

void ticket_keys::rotate(int64_t now) {
  if (have_current_ && now < next_rotation_) return;
  key fresh;
  // Without randomness the keys stay as they are and the next ticket tries again.
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&fresh), sizeof fresh) != 1) return;
  if (have_current_) {
    previous_ = current_;
    // A key that missed more than one period is too old to stand in as the previous one.
    have_previous_ = now < next_rotation_ + period_;
  }
  current_ = fresh;
  OPENSSL_cleanse(&fresh, sizeof fresh);
  have_current_ = true;
  next_rotation_ = now + period_;
}

int ticket_keys::seal_or_open(unsigned char name[16], unsigned char* iv, EVP_CIPHER_CTX* cipher,
                              EVP_MAC_CTX* mac, int enc, int64_t now) {
  key k;
  int found = 0;
  {
    kt::mutex_guard guard(lock_);
    rotate(now);
    if (enc == 1) {
      if (!have_current_) return 0;
      k = current_;
      found = 1;
    } else if (have_current_ && std::memcmp(name, current_.name, sizeof k.name) == 0) {
      k = current_;
      found = 1;
    } else if (have_previous_ && std::memcmp(name, previous_.name, sizeof k.name) == 0) {
      k = previous_;
      found = 2;
    }
  }
  if (found == 0) return 0;
  int rc = found;
  if (enc == 1) {
    std::memcpy(name, k.name, sizeof k.name);
    if (RAND_bytes(iv, EVP_CIPHER_get_iv_length(EVP_aes_256_cbc())) != 1) rc = 0;
  }
  if (rc != 0 && !key_contexts(k.aes, k.hmac, iv, cipher, mac, enc)) rc = enc == 1 ? 0 : -1;
  OPENSSL_cleanse(&k, sizeof k);
  return rc;
}

}  // namespace orvane
