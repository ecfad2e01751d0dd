// Owning handles for OpenSSL objects and the error text helper.
//
// Each alias is a std::unique_ptr whose deleter calls the object's OpenSSL free function, so
// every handle is released on every path. Shared by the certificate authority and the TLS code.
#ifndef KT_SUTILS_OPENSSL_RAII_H_
#define KT_SUTILS_OPENSSL_RAII_H_

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>

namespace kt {

// Deleter calling the OpenSSL free function Free.
template <auto Free>
struct openssl_deleter {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};

template <typename T, auto Free>
using openssl_ptr = std::unique_ptr<T, openssl_deleter<Free>>;

using bio_ptr = openssl_ptr<BIO, BIO_free_all>;
using bignum_ptr = openssl_ptr<BIGNUM, BN_free>;
using asn1_integer_ptr = openssl_ptr<ASN1_INTEGER, ASN1_INTEGER_free>;
using asn1_octet_string_ptr = openssl_ptr<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>;
using evp_pkey_ptr = openssl_ptr<EVP_PKEY, EVP_PKEY_free>;
using evp_pkey_ctx_ptr = openssl_ptr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using evp_md_ctx_ptr = openssl_ptr<EVP_MD_CTX, EVP_MD_CTX_free>;
using x509_ptr = openssl_ptr<X509, X509_free>;
using x509_name_ptr = openssl_ptr<X509_NAME, X509_NAME_free>;
using x509_extension_ptr = openssl_ptr<X509_EXTENSION, X509_EXTENSION_free>;
using x509_store_ptr = openssl_ptr<X509_STORE, X509_STORE_free>;
using x509_store_ctx_ptr = openssl_ptr<X509_STORE_CTX, X509_STORE_CTX_free>;
using pkcs12_ptr = openssl_ptr<PKCS12, PKCS12_free>;
using ssl_ctx_ptr = openssl_ptr<SSL_CTX, SSL_CTX_free>;
using ssl_ptr = openssl_ptr<SSL, SSL_free>;
using ssl_session_ptr = openssl_ptr<SSL_SESSION, SSL_SESSION_free>;

// A stack of certificates that frees its members with it.
struct x509_stack_deleter {
  void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
using x509_stack_ptr = std::unique_ptr<STACK_OF(X509), x509_stack_deleter>;

// Bytes OpenSSL allocated for the caller (i2d_* output and the like).
struct openssl_free_deleter {
  void operator()(void* p) const { OPENSSL_free(p); }
};
using openssl_bytes_ptr = std::unique_ptr<unsigned char, openssl_free_deleter>;

// Text of the oldest error on this thread's OpenSSL error queue ("unknown error" when it is
// empty). The queue is cleared.
inline std::string openssl_error_string() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown error";
  char buf[256];
  ERR_error_string_n(code, buf, sizeof buf);
  return buf;
}

}  // namespace kt

#endif  // KT_SUTILS_OPENSSL_RAII_H_
