// SHA-512 digests, the SHA-512 crypt password string and the shared AES-256-CBC token cipher.
//
// aes256_ctx keeps one EVP context with its key schedule; every aes256_encrypt call resets it
// to the stored IV under the context's own mutex, so one context may be shared by any number of
// threads. (Measured: cheaper than a fresh EVP context per call; the lock is held well under a
// microsecond for a token.)
#ifndef KT_UTILS_CRYPTO_H_
#define KT_UTILS_CRYPTO_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "utils/pthread_utils.h"

struct evp_cipher_ctx_st;

namespace kt {

constexpr size_t kSha512Size = 64;
constexpr size_t kAes256KeySize = 32;
constexpr size_t kAes256IvSize = 16;

// SHA-512 of len bytes into digest. Returns 0, or -1 without hashing when digest_size is under
// 64 (or when the digest can't be computed).
int sha512_hash(const void* data, size_t len, uint8_t* digest, size_t digest_size);

// Longest sha512_crypt result with its NUL: "$6$", 16 salt chars, '$', 86 hash chars.
constexpr size_t kSha512CryptSize = 3 + 16 + 1 + 86 + 1;
// Longest key sha512_crypt takes (crypt(3) refuses longer ones too; the cost grows with the
// square of the length).
constexpr size_t kSha512CryptKeyMax = 511;

// The SHA-512 crypt string ("$6$<salt>$<hash>", 5000 rounds) of key, as crypt(3) makes it for
// the same setting. setting is "$6$" and the salt, ended by '$' or by its end; salt chars past
// the 16th are ignored. Every byte of key counts (a C string's key ends before its NUL).
// Writes the NUL-terminated string to out. Returns 0; -1 when the key is longer than
// kSha512CryptKeyMax, when the setting is not "$6$" with salt chars from "./0-9A-Za-z" (an
// explicit "rounds=" is not supported) or when hashing fails; -2 when out_size is too small
// (out is then left untouched).
int sha512_crypt(std::string_view key, std::string_view setting, char* out, size_t out_size);

class aes256_ctx {
 public:
  ~aes256_ctx();
  aes256_ctx(const aes256_ctx&) = delete;
  aes256_ctx& operator=(const aes256_ctx&) = delete;

 private:
  friend std::unique_ptr<aes256_ctx> aes256_ctx_init(const uint8_t* iv, const uint8_t* key);
  friend std::string aes256_encrypt(aes256_ctx& ctx, const void* data, size_t len);
  friend int aes256_decrypt(aes256_ctx& ctx, const void* data, size_t len, std::string& out);

  aes256_ctx() = default;

  mutex lock_;
  evp_cipher_ctx_st* enc_ = nullptr;  // guarded by lock_
  uint8_t key_[kAes256KeySize] = {};
  uint8_t iv_[kAes256IvSize] = {};
};

// A new AES-256-CBC context for the 16-byte iv and 32-byte key; null when OpenSSL fails.
std::unique_ptr<aes256_ctx> aes256_ctx_init(const uint8_t* iv, const uint8_t* key);
inline void aes256_ctx_free(std::unique_ptr<aes256_ctx>& ctx) {
  ctx.reset();
}

// Encrypts len bytes with PKCS#7 padding, always starting from the context's IV. The result is
// a multiple of 16 bytes long (at least 16); empty on failure.
std::string aes256_encrypt(aes256_ctx& ctx, const void* data, size_t len);

// Decrypts what aes256_encrypt produced into out. Returns 0, or -1 (out empty) when the input
// is malformed or its padding is wrong.
int aes256_decrypt(aes256_ctx& ctx, const void* data, size_t len, std::string& out);

}  // namespace kt

#endif  // KT_UTILS_CRYPTO_H_
