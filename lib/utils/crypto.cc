#include "utils/crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>
#include <cstring>
#include <mutex>
#include <new>

namespace kt {

namespace {

constexpr size_t kBlock = 16;

struct cipher_ctx_deleter {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using cipher_ctx_ptr = std::unique_ptr<EVP_CIPHER_CTX, cipher_ctx_deleter>;

}  // namespace

int sha512_hash(const void* data, size_t len, uint8_t* digest, size_t digest_size) {
  if (digest == nullptr || digest_size < kSha512Size) return -1;
  if (data == nullptr && len > 0) return -1;
  unsigned int out_len = 0;
  if (EVP_Digest(data, len, digest, &out_len, EVP_sha512(), nullptr) != 1) return -1;
  return 0;
}

aes256_ctx::~aes256_ctx() {
  EVP_CIPHER_CTX_free(enc_);
  OPENSSL_cleanse(key_, sizeof key_);
}

std::unique_ptr<aes256_ctx> aes256_ctx_init(const uint8_t* iv, const uint8_t* key) {
  if (iv == nullptr || key == nullptr) return nullptr;
  std::unique_ptr<aes256_ctx> ctx(new (std::nothrow) aes256_ctx());
  if (ctx == nullptr) return nullptr;
  std::memcpy(ctx->key_, key, kAes256KeySize);
  std::memcpy(ctx->iv_, iv, kAes256IvSize);
  ctx->enc_ = EVP_CIPHER_CTX_new();
  if (ctx->enc_ == nullptr ||
      EVP_EncryptInit_ex(ctx->enc_, EVP_aes_256_cbc(), nullptr, ctx->key_, ctx->iv_) != 1) {
    return nullptr;
  }
  return ctx;
}

std::string aes256_encrypt(aes256_ctx& ctx, const void* data, size_t len) {
  if ((data == nullptr && len > 0) || len > static_cast<size_t>(INT_MAX) - 2 * kBlock) return {};
  std::string out;
  try {
    out.resize(len + kBlock);
  } catch (const std::bad_alloc&) {
    return {};
  }
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  int body = 0;
  int tail = 0;
  {
    std::lock_guard<mutex> guard(ctx.lock_);
    // Keeps the key schedule and restarts the chain at the stored IV.
    if (EVP_EncryptInit_ex(ctx.enc_, nullptr, nullptr, nullptr, ctx.iv_) != 1 ||
        EVP_EncryptUpdate(ctx.enc_, o, &body, static_cast<const unsigned char*>(data),
                          static_cast<int>(len)) != 1 ||
        EVP_EncryptFinal_ex(ctx.enc_, o + body, &tail) != 1) {
      return {};
    }
  }
  out.resize(static_cast<size_t>(body) + static_cast<size_t>(tail));
  return out;
}

int aes256_decrypt(aes256_ctx& ctx, const void* data, size_t len, std::string& out) {
  out.clear();
  if (data == nullptr || len == 0 || len % kBlock != 0 || len > static_cast<size_t>(INT_MAX)) {
    return -1;
  }
  cipher_ctx_ptr dec(EVP_CIPHER_CTX_new());
  if (dec == nullptr) return -1;
  try {
    out.resize(len + kBlock);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  int body = 0;
  int tail = 0;
  // The key and IV never change after init, so they are read without the lock.
  if (EVP_DecryptInit_ex(dec.get(), EVP_aes_256_cbc(), nullptr, ctx.key_, ctx.iv_) != 1 ||
      EVP_DecryptUpdate(dec.get(), o, &body, static_cast<const unsigned char*>(data),
                        static_cast<int>(len)) != 1 ||
      EVP_DecryptFinal_ex(dec.get(), o + body, &tail) != 1) {
    out.clear();
    return -1;
  }
  out.resize(static_cast<size_t>(body) + static_cast<size_t>(tail));
  return 0;
}

}  // namespace kt
