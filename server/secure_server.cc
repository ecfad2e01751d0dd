#include "secure_server.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "globals.h"
#include "sutils/openssl_ca.h"
#include "sutils/openssl_raii.h"
#include "tls_tickets.h"
#include "utils/clock.h"
#include "utils/logger.h"

namespace orvane {

namespace {

constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// The private key of a PEM file, or nullptr when it cannot be read.
kt::evp_pkey_ptr read_private_key(const std::string& key_file) {
  kt::bio_ptr bio(BIO_new_file(key_file.c_str(), "r"));
  if (!bio) return nullptr;
  return kt::evp_pkey_ptr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

// Sessions a client may resume, by ticket or from the cache: an hour, the life of a ticket key.
constexpr long kSessionSeconds = ticket_keys::kRotationSeconds;
// Sessions the server-side cache keeps for clients that take no tickets.
constexpr long kSessionCacheSize = 20480;

int ticket_key_callback(SSL* ssl, unsigned char name[16], unsigned char* iv, EVP_CIPHER_CTX* cipher,
                        EVP_MAC_CTX* mac, int enc) {
  auto* g = static_cast<globals*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  if (g == nullptr) return enc == 1 ? 0 : -1;
  return g->tickets.seal_or_open(name, iv, cipher, mac, enc, kt::monotonic_ms() / 1000);
}

}  // namespace

kt::ssl_ctx_ptr init_ctx(globals& g, const std::string& key_file, const std::string& ca_file,
                         const std::string& chain_file) {
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  kt::ssl_ctx_ptr ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx) {
    KT_LOG_ERR("SSL_CTX_new(): %s", kt::openssl_error_string().c_str());
    return nullptr;
  }
  // TLS 1.2 and 1.3. TLS 1.2 offers forward-secret AEAD suites only (ECDHE with AES-GCM or
  // ChaCha20-Poly1305), in the server's order; static RSA key exchange and CBC are refused.
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx.get(), TLS1_3_VERSION);
  if (SSL_CTX_set_cipher_list(ctx.get(), kTls12Ciphers) != 1) {
    KT_LOG_ERR("SSL_CTX_set_cipher_list(): %s", kt::openssl_error_string().c_str());
    return nullptr;
  }
  SSL_CTX_set_options(
      ctx.get(), SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
  // One request per connection, so clients that come back often resume their session instead of
  // paying for a full handshake: tickets sealed with keys kept in memory (TLS 1.2 and 1.3, one
  // ticket per TLS 1.3 handshake), and a server-side cache for TLS 1.2 clients that take none.
  SSL_CTX_set_app_data(ctx.get(), &g);
  SSL_CTX_set_num_tickets(ctx.get(), 1);
  SSL_CTX_set_tlsext_ticket_key_evp_cb(ctx.get(), ticket_key_callback);
  SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_SERVER);
  SSL_CTX_sess_set_cache_size(ctx.get(), kSessionCacheSize);
  SSL_CTX_set_timeout(ctx.get(), kSessionSeconds);

  // The key is matched against the certificate before the context sees it: the context itself
  // refuses a foreign key on loading, which would hide the mismatch behind a load failure.
  kt::evp_pkey_ptr key;
  if (SSL_CTX_load_verify_locations(ctx.get(), ca_file.c_str(), nullptr) != 1) {
    KT_LOG_ERR("can't load certificate ca locations");
  } else if (SSL_CTX_use_certificate_chain_file(ctx.get(), chain_file.c_str()) != 1) {
    KT_LOG_ERR("can't load certificate");
  } else if (key = read_private_key(key_file); !key) {
    KT_LOG_ERR("can't load certificate private key");
  } else if (X509_check_private_key(SSL_CTX_get0_certificate(ctx.get()), key.get()) != 1) {
    KT_LOG_ERR("certificate private key does not match certificate public key");
  } else if (SSL_CTX_use_PrivateKey(ctx.get(), key.get()) != 1) {
    KT_LOG_ERR("can't load certificate private key");
  } else if (SSL_CTX_check_private_key(ctx.get()) != 1) {
    KT_LOG_ERR("certificate private key does not match certificate public key");
  } else {
    ERR_clear_error();
    return ctx;
  }
  ERR_clear_error();
  return nullptr;
}

void done_ctx(kt::ssl_ctx_ptr ctx) {
  ctx.reset();
  ERR_clear_error();
}

int verify_callback(int preverify_ok, X509_STORE_CTX* store) {
  if (preverify_ok != 0) return preverify_ok;
  X509* cert = X509_STORE_CTX_get_current_cert(store);
  SSL* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  if (cert == nullptr || ssl == nullptr) return 0;
  auto* g = static_cast<globals*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  if (g == nullptr || !g->ca) return 0;
  if (g->ca->verify(cert) != 0) return 0;
  // The certificate chains to the server's own authority: accept it and clear the error that
  // OpenSSL's own verification recorded.
  X509_STORE_CTX_set_error(store, X509_V_OK);
  return 1;
}

}  // namespace orvane
