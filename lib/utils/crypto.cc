#include "utils/crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
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

// --- SHA-512 crypt ---
//
// The 5000 rounds hash short messages, where EVP's per-call cost is larger than the hashing:
// each round builds its padded message itself and feeds the blocks to SHA512_Transform. Those
// low-level calls are deprecated in OpenSSL 3, hence the narrow suppression.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

constexpr std::string_view kCryptPrefix = "$6$";
constexpr size_t kCryptSaltMax = 16;
constexpr size_t kCryptRounds = 5000;
constexpr size_t kCryptHashChars = 86;
constexpr size_t kShaBlock = 128;
constexpr char kCryptB64[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

bool is_crypt_char(char c) {
  return c == '.' || c == '/' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
         (c >= 'a' && c <= 'z');
}

// The longest round message (a, s and p twice) with its padding, in whole blocks.
constexpr size_t kCryptBlockMax =
    (kSha512Size + kCryptSaltMax + 2 * kSha512CryptKeyMax + 17 + kShaBlock - 1) / kShaBlock *
    kShaBlock;

// Everything derived from the key; wiped when it goes.
struct crypt_state {
  SHA512_CTX ctx;
  uint8_t a[kSha512Size];   // running digest
  uint8_t b[kSha512Size];   // alternate digest
  uint8_t dp[kSha512Size];  // digest of the key repeated
  uint8_t ds[kSha512Size];  // digest of the salt repeated
  uint8_t s[kCryptSaltMax];
  uint8_t p[kSha512CryptKeyMax];  // the key-length byte sequence from dp
  uint8_t block[kCryptBlockMax];  // one round's padded message

  crypt_state() = default;
  crypt_state(const crypt_state&) = delete;
  crypt_state& operator=(const crypt_state&) = delete;
  ~crypt_state() { OPENSSL_cleanse(this, sizeof *this); }
};

bool sha_update(SHA512_CTX& c, const void* data, size_t len) {
  return len == 0 || SHA512_Update(&c, data, len) == 1;
}

// The digest held in the chaining state after the last block (big-endian words).
void state_digest(const SHA512_CTX& c, uint8_t* out) {
  for (size_t w = 0; w < 8; ++w) {
    for (size_t i = 0; i < 8; ++i) out[w * 8 + i] = static_cast<uint8_t>(c.h[w] >> (56 - 8 * i));
  }
}

// The key and salt steps before the rounds: a, p and s. False when hashing fails.
bool crypt_prepare(std::string_view key, std::string_view salt, crypt_state& st) {
  const size_t kl = key.size();
  const size_t sl = salt.size();
  SHA512_CTX& c = st.ctx;
  // b = H(key salt key)
  if (SHA512_Init(&c) != 1 || !sha_update(c, key.data(), kl) || !sha_update(c, salt.data(), sl) ||
      !sha_update(c, key.data(), kl) || SHA512_Final(st.b, &c) != 1) {
    return false;
  }
  // a = H(key salt, b repeated over the key's length, then per bit of that length b or key)
  if (SHA512_Init(&c) != 1 || !sha_update(c, key.data(), kl) || !sha_update(c, salt.data(), sl)) {
    return false;
  }
  size_t n = kl;
  for (; n > kSha512Size; n -= kSha512Size) {
    if (!sha_update(c, st.b, kSha512Size)) return false;
  }
  if (!sha_update(c, st.b, n)) return false;
  for (n = kl; n > 0; n >>= 1) {
    const bool ok = (n & 1) != 0 ? sha_update(c, st.b, kSha512Size) : sha_update(c, key.data(), kl);
    if (!ok) return false;
  }
  if (SHA512_Final(st.a, &c) != 1) return false;
  // p: H(key repeated kl times), cycled to kl bytes.
  if (SHA512_Init(&c) != 1) return false;
  for (n = 0; n < kl; ++n) {
    if (!sha_update(c, key.data(), kl)) return false;
  }
  if (SHA512_Final(st.dp, &c) != 1) return false;
  for (n = 0; n < kl; ++n) st.p[n] = st.dp[n % kSha512Size];
  // s: H(salt repeated 16 + a[0] times), cut to the salt's length.
  if (SHA512_Init(&c) != 1) return false;
  for (n = 0; n < 16u + st.a[0]; ++n) {
    if (!sha_update(c, salt.data(), sl)) return false;
  }
  if (SHA512_Final(st.ds, &c) != 1) return false;
  std::memcpy(st.s, st.ds, sl);
  return true;
}

// Round r: a = H(p or a, s unless r % 3 == 0, p unless r % 7 == 0, a or p), p first on odd
// rounds.
bool crypt_round(size_t r, size_t kl, size_t sl, crypt_state& st) {
  uint8_t* m = st.block;
  size_t len = 0;
  const auto put = [&](const uint8_t* src, size_t n) {
    if (n != 0) std::memcpy(m + len, src, n);
    len += n;
  };
  const bool odd = (r & 1) != 0;
  put(odd ? st.p : st.a, odd ? kl : kSha512Size);
  if (r % 3 != 0) put(st.s, sl);
  if (r % 7 != 0) put(st.p, kl);
  put(odd ? st.a : st.p, odd ? kSha512Size : kl);

  // Padding: 0x80, zeros, the bit length as a 128-bit big-endian number ending the last block.
  const size_t total = (len + 1 + 16 + kShaBlock - 1) / kShaBlock * kShaBlock;
  m[len] = 0x80;
  std::memset(m + len + 1, 0, total - len - 1 - 8);
  const uint64_t bits = static_cast<uint64_t>(len) * 8;
  for (size_t i = 0; i < 8; ++i) m[total - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));

  if (SHA512_Init(&st.ctx) != 1) return false;
  for (size_t off = 0; off < total; off += kShaBlock) SHA512_Transform(&st.ctx, m + off);
  state_digest(st.ctx, st.a);
  return true;
}

// The 86 chars of the final digest: 21 groups of three bytes in the algorithm's order, then the
// last byte.
void crypt_encode(const uint8_t* a, char* out) {
  const auto put = [&out](uint8_t b2, uint8_t b1, uint8_t b0, int chars) {
    uint32_t w = (uint32_t{b2} << 16) | (uint32_t{b1} << 8) | b0;
    for (; chars > 0; --chars, w >>= 6) *out++ = kCryptB64[w & 0x3f];
  };
  for (size_t i = 0; i < 21; ++i) {
    // Group i takes bytes i, i + 21 and i + 42, rotated by one place each group.
    const uint8_t x = a[i], y = a[i + 21], z = a[i + 42];
    switch (i % 3) {
      case 0:
        put(x, y, z, 4);
        break;
      case 1:
        put(y, z, x, 4);
        break;
      default:
        put(z, x, y, 4);
        break;
    }
  }
  put(0, 0, a[63], 2);
}

}  // namespace

int sha512_crypt(std::string_view key, std::string_view setting, char* out, size_t out_size) {
  if (!setting.starts_with(kCryptPrefix)) return -1;
  std::string_view salt = setting.substr(kCryptPrefix.size());
  salt = salt.substr(0, std::min(salt.find('$'), kCryptSaltMax));
  for (const char c : salt) {
    if (!is_crypt_char(c)) return -1;
  }
  const size_t size = kCryptPrefix.size() + salt.size() + 1 + kCryptHashChars + 1;
  if (out == nullptr || out_size < size) return -2;
  if (key.size() > kSha512CryptKeyMax) return -1;

  crypt_state st;
  const size_t kl = key.size();
  if (!crypt_prepare(key, salt, st)) return -1;
  for (size_t r = 0; r < kCryptRounds; ++r) {
    if (!crypt_round(r, kl, salt.size(), st)) return -1;
  }

  char* o = out;
  std::memcpy(o, kCryptPrefix.data(), kCryptPrefix.size());
  o += kCryptPrefix.size();
  if (!salt.empty()) std::memcpy(o, salt.data(), salt.size());
  o += salt.size();
  *o++ = '$';
  crypt_encode(st.a, o);
  o[kCryptHashChars] = '\0';
  return 0;
}

#pragma GCC diagnostic pop

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
